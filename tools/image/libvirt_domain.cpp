#include "libvirt_domain.h"

#include <libvirt/libvirt.h>
#include <libvirt/virterror.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "exit_status.h"
#include "image_header.h"

namespace {

enum { kMostDisks = 256 };

// libvirt prints its errors itself unless told otherwise; ours name them.
void KeepLibvirtQuiet(void *, virErrorPtr) {}
void KeepLibxmlQuiet(void *, const char *, ...) {}

std::string LastLibvirtError() {
    const char *text = virGetLastErrorMessage();
    return text != 0 ? text : "unknown error";
}

const char *StateName(int state) {
    switch (state) {
    case VIR_DOMAIN_RUNNING:
        return "running";
    case VIR_DOMAIN_BLOCKED:
        return "running (blocked on a resource)";
    case VIR_DOMAIN_PAUSED:
        return "paused";
    case VIR_DOMAIN_SHUTDOWN:
        return "shutting down";
    case VIR_DOMAIN_CRASHED:
        return "crashed";
    case VIR_DOMAIN_PMSUSPENDED:
        return "suspended by the guest's power management";
    default:
        return "in no state libvirt names";
    }
}

std::string Attribute(xmlNode *node, const char *name) {
    xmlChar *value = node != 0 ? xmlGetProp(node, (const xmlChar *)name) : 0;
    std::string text = value != 0 ? (const char *)value : "";
    xmlFree(value);
    return text;
}

bool Named(xmlNode *node, const char *name) {
    return node->type == XML_ELEMENT_NODE && strcmp((const char *)node->name, name) == 0;
}

xmlNode *Child(xmlNode *parent, const char *name) {
    for (xmlNode *child = parent != 0 ? parent->children : 0; child != 0; child = child->next) {
        if (Named(child, name)) return child;
    }
    return 0;
}

bool HasElementChild(xmlNode *parent) {
    for (xmlNode *child = parent->children; child != 0; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) return true;
    }
    return false;
}

// What the tool does with one <disk>, and why.
DomainDisk ReadDisk(xmlNode *node) {
    DomainDisk disk = {};
    disk.target = Attribute(Child(node, "target"), "dev");
    const std::string device = Attribute(node, "device").empty() ? "disk" : Attribute(node, "device");
    const std::string type = Attribute(node, "type").empty() ? "file" : Attribute(node, "type");
    xmlNode *source = Child(node, "source");
    disk.format = Attribute(Child(node, "driver"), "type");
    disk.action = kDiskRefuse;
    if (type == "file") disk.path = Attribute(source, "file");
    if (device == "cdrom" || device == "floppy") {
        disk.action = kDiskSkip;
        disk.reason = "a " + device + " drive, skipped";
    } else if (Child(node, "readonly") != 0) {
        disk.action = kDiskSkip;
        disk.reason = "read-only for the guest, skipped";
    } else if (type == "network") {
        disk.reason = "its source is on the network (" + Attribute(source, "protocol") + " " +
                      Attribute(source, "name") +
                      "), not a local file: export it with qemu-nbd or qemu-storage-daemon and give its nbd:// URI";
    } else if (type == "volume") {
        disk.reason = "its source is volume " + Attribute(source, "volume") + " of storage pool " +
                      Attribute(source, "pool") + ", not a file the XML names: give the volume's path instead";
    } else if (type == "block") {
        disk.reason = "its source is the block device " + Attribute(source, "dev") + ": use quillet-disk for a partition";
    } else if (type != "file") {
        disk.reason = "its source is of type " + type + ", not a local file";
    } else if (device != "disk") {
        disk.reason = "a " + device + " device, not a disk";
    } else if (disk.path.empty()) {
        disk.reason = "the drive holds no file";
    } else if (disk.path[0] != '/') {
        disk.reason = "its source " + disk.path + " is no absolute path";
    } else if (Child(node, "backingStore") != 0 && HasElementChild(Child(node, "backingStore"))) {
        // The guest sees the chain, whose files no run of ours may touch.
        xmlNode *backing = Child(node, "backingStore");
        const std::string file = Attribute(Child(backing, "source"), "file");
        disk.reason = "it has a backing chain in the domain's XML (" + (file.empty() ? std::string("a ") +
                      Attribute(backing, "type") + " source" : file) +
                      "): the guest's disk is the chain, not this file; commit it first (qemu-img commit)";
    } else if (disk.format.empty()) {
        disk.reason = "the domain's XML names no format (driver type) for it, and the tool does not guess one";
    } else if (ImageFormatByName(disk.format.c_str()) == kFormatUnknown) {
        disk.reason = "its format " + disk.format + " is none of raw, qcow2, vmdk, vhdx, vdi";
    } else {
        disk.action = kDiskTrim;
    }
    return disk;
}

}  // namespace

int ReadDomainDisks(const std::string &xml, std::vector<DomainDisk> *disks, std::string *reason) {
    // No network, no external entities, no DTD: only the text libvirt gave.
    xmlDoc *document = xmlReadMemory(xml.data(), (int)xml.size(), "domain.xml", 0, XML_PARSE_NONET | XML_PARSE_NOERROR |
                                                                               XML_PARSE_NOWARNING);
    xmlNode *root = document != 0 ? xmlDocGetRootElement(document) : 0;
    if (root == 0 || !Named(root, "domain")) {
        *reason = "the domain's XML cannot be read";
        xmlFreeDoc(document);
        return 0;
    }
    int sound = 1;
    for (xmlNode *node = Child(root, "devices") != 0 ? Child(root, "devices")->children : 0; node != 0; node = node->next) {
        if (!Named(node, "disk")) continue;
        if (disks->size() >= kMostDisks) {
            *reason = "the domain has more than " + std::to_string((int)kMostDisks) + " disks";
            sound = 0;
            break;
        }
        disks->push_back(ReadDisk(node));
    }
    xmlFreeDoc(document);
    return sound;
}

int ListDomainDisks(const char *uri, const char *name, std::vector<DomainDisk> *disks, std::string *reason,
                    int *status) {
    virSetErrorFunc(0, KeepLibvirtQuiet);
    xmlSetGenericErrorFunc(0, KeepLibxmlQuiet);
    *status = kExitNoInput;
    // Read-only: the domain's XML and state are all the tool asks of libvirt.
    virConnectPtr connection = virConnectOpenReadOnly(uri);
    if (connection == 0) {
        *reason = std::string("cannot connect to libvirt") + (uri != 0 ? std::string(" at ") + uri : "") + ": " +
                  LastLibvirtError();
        return 0;
    }
    virDomainPtr domain = virDomainLookupByName(connection, name);
    int listed = 0;
    int state = -1, why = 0;
    if (domain == 0) {
        *reason = "no such domain: " + LastLibvirtError();
    } else if (virDomainGetState(domain, &state, &why, 0) != 0) {
        *reason = "the domain's state cannot be told: " + LastLibvirtError();
    } else if (state != VIR_DOMAIN_SHUTOFF) {
        *reason = std::string("the domain is ") + StateName(state) + ": shut it down first (virsh shutdown " + name + ")";
        *status = kExitInUse;
    } else {
        char *xml = virDomainGetXMLDesc(domain, VIR_DOMAIN_XML_INACTIVE);
        if (xml == 0) {
            *reason = "the domain's XML cannot be had: " + LastLibvirtError();
        } else {
            listed = ReadDomainDisks(xml, disks, reason);
            free(xml);
        }
    }
    if (domain != 0) virDomainFree(domain);
    virConnectClose(connection);
    return listed;
}

int ListDomainNames(const char *uri, std::vector<std::string> *names, std::string *reason) {
    virSetErrorFunc(0, KeepLibvirtQuiet);
    virConnectPtr connection = virConnectOpenReadOnly(uri);
    if (connection == 0) {
        *reason = std::string("cannot connect to libvirt") + (uri != 0 ? std::string(" at ") + uri : "") + ": " +
                  LastLibvirtError();
        return 0;
    }
    virDomainPtr *domains = 0;
    const int count = virConnectListAllDomains(connection, &domains, 0);
    int listed = count >= 0 && count <= kMostListedDomains;
    if (count < 0) *reason = "the domains cannot be listed: " + LastLibvirtError();
    if (count > kMostListedDomains) *reason = "more than " + std::to_string(kMostListedDomains) + " domains: name them with -d";
    for (int i = 0; i < count; i++) {
        const char *name = virDomainGetName(domains[i]);
        if (listed && name != 0) names->push_back(name);
        virDomainFree(domains[i]);
    }
    free(domains);
    virConnectClose(connection);
    std::sort(names->begin(), names->end());
    return listed;
}
