// A libvirt domain's disks, from its XML through libvirt's API: each
// disk's path and format as the domain names them (never probed), and
// which of them quillet-image trims, skips or refuses, and why. The domain
// must be shut off.
#ifndef QUILLET_HOST_LIBVIRT_DOMAIN_H
#define QUILLET_HOST_LIBVIRT_DOMAIN_H

#include <string>
#include <vector>

enum DomainDiskAction {
    kDiskTrim,    // a local file in a format the tool handles
    kDiskSkip,    // a cdrom, a floppy or a read-only disk: nothing to give back
    kDiskRefuse,  // a disk the tool cannot trim as the guest sees it
};

struct DomainDisk {
    std::string target;  // "vda"; may be empty
    std::string path;    // the source file; empty when it has none
    std::string format;  // the driver type, as the XML names it
    int action;
    std::string reason;  // why skipped or refused
};

// The disks of /domain/devices in `xml`, in order, at most 256. 0 with the
// reason when the XML cannot be read.
int ReadDomainDisks(const std::string &xml, std::vector<DomainDisk> *disks, std::string *reason);

// Connects read-only to `uri` (null: libvirt's default), finds the domain
// by name and, when it is shut off, lists its disks. 0 with the reason and
// an exit status (kExitInUse for a domain that runs, is paused or is in
// any state but shut off) otherwise.
int ListDomainDisks(const char *uri, const char *name, std::vector<DomainDisk> *disks, std::string *reason,
                    int *status);

// The names of every domain `uri` (null: libvirt's default) knows, in
// name order, at most kMostListedDomains. 0 with the reason otherwise.
enum { kMostListedDomains = 4096 };
int ListDomainNames(const char *uri, std::vector<std::string> *names, std::string *reason);

#endif
