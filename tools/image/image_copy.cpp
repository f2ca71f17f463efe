#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include "image_copy.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "exit_status.h"
#include "image_header.h"
#include "image_punch.h"
#include "image_stores.h"

namespace {

enum {
    kCopyChunk = 1 << 20,  // read from the source at once
    kZeroPiece = 4096,     // a piece that reads as zeros is left unwritten
};

int Refused(std::string *why, const std::string &text) {
    *why = text;
    return 0;
}

std::string Cause(const char *what) { return std::string(what) + " (" + strerror(errno) + ")"; }

// Writes [position, position + size) of the copy: straight into a raw
// file, or through qemu-nbd.
struct CopyWriter {
    int fd;             // raw: the file
    ImageStore *store;  // the others: qemu-nbd serving the new image
    uint64_t writes, killAfter;
};

int WriteCopy(CopyWriter &writer, int64_t position, const uint8_t *bytes, uint32_t size, std::string *why) {
    if (++writer.writes == writer.killAfter + 1 && writer.killAfter != 0) raise(SIGKILL);
    if (writer.store != 0) {
        return WriteNbdImageStore(writer.store, position, bytes, size) ||
               Refused(why, "qemu-nbd did not take a write of the copy at byte " + std::to_string(position));
    }
    for (uint32_t done = 0; done < size;) {
        ssize_t wrote = pwrite(writer.fd, bytes + done, size - done, (off_t)(position + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return Refused(why, Cause("the copy cannot be written"));
        done += (uint32_t)wrote;
    }
    return 1;
}

int AllZero(const uint8_t *bytes, size_t size) {
    for (size_t i = 0; i < size; i++) {
        if (bytes[i] != 0) return 0;
    }
    return 1;
}

// Copies [start, end) of the source, leaving out the pieces that read as zeros.
int CopySpan(ImageStore *source, CopyWriter &writer, int64_t start, int64_t end, std::vector<uint8_t> *buffer,
             int64_t *written, std::string *why) {
    for (int64_t at = start; at < end;) {
        const int64_t stop = std::min<int64_t>(end, (at / kCopyChunk + 1) * kCopyChunk);
        const uint32_t size = (uint32_t)(stop - at);
        if (!source->read(source, at, buffer->data(), size)) {
            return Refused(why, "the source cannot be read at byte " + std::to_string(at));
        }
        // Runs of pieces that hold data, written one request each.
        int64_t run = -1;
        for (int64_t piece = at; piece < stop;) {
            const int64_t next = std::min<int64_t>(stop, (piece / kZeroPiece + 1) * kZeroPiece);
            const uint8_t *bytes = buffer->data() + (piece - at);
            const int zero = AllZero(bytes, (size_t)(next - piece));
            if (!zero && run < 0) run = piece;
            if ((zero || next == stop) && run >= 0) {
                const int64_t runEnd = zero ? piece : next;
                if (!WriteCopy(writer, run, buffer->data() + (run - at), (uint32_t)(runEnd - run), why)) return 0;
                *written += runEnd - run;
                run = -1;
            }
            piece = next;
        }
        at = stop;
    }
    return 1;
}

// The number after `"key": ` in qemu-img's JSON, or -1.
int64_t JsonNumberAfter(const std::string &json, const char *key) {
    const size_t at = json.find(std::string("\"") + key + "\":");
    if (at == std::string::npos) return -1;
    return strtoll(json.c_str() + at + strlen(key) + 3, 0, 10);
}

}  // namespace

void AddByteRange(std::vector<ByteRange> *ranges, int64_t start, int64_t end) {
    if (end <= start) return;
    if (!ranges->empty() && ranges->back().end == start) {
        ranges->back().end = end;
    } else {
        ranges->push_back({start, end});
    }
}

int PrepareCopyTarget(int sourceFd, const char *path, int format, int overwrite, CopyTarget *target,
                      std::string *why) {
    *target = CopyTarget();
    target->fd = -1;
    target->format = format;
    target->path = path;
    struct stat source, existing;
    if (fstat(sourceFd, &source) != 0) return Refused(why, Cause("the image cannot be measured")), kExitIoError;
    const std::string given = path;
    const size_t slash = given.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : given.substr(0, slash);
    const std::string name = slash == std::string::npos ? given : given.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        return Refused(why, "the copy needs a file name, not " + given), kExitUsage;
    }
    if (stat(path, &existing) == 0) {
        if (existing.st_dev == source.st_dev && existing.st_ino == source.st_ino) {
            return Refused(why, "the copy " + given + " is the image itself: name a new file"), kExitUsage;
        }
        if (S_ISDIR(existing.st_mode)) return Refused(why, "the copy " + given + " is a folder: name a file in it"), kExitUsage;
        if (!overwrite) {
            return Refused(why, "the copy " + given + " exists already: name a new file, or give --overwrite to replace it"),
                   kExitCannotCreate;
        }
        if (!S_ISREG(existing.st_mode)) return Refused(why, "the copy " + given + " exists and is no regular file"), kExitCannotCreate;
    } else if (errno != ENOENT) {
        return Refused(why, Cause(("the copy " + given + " cannot be looked at").c_str())), kExitCannotCreate;
    }
    std::string pattern = folder + "/.quillet-copy-XXXXXX";
    std::vector<char> made(pattern.begin(), pattern.end());
    made.push_back(0);
    if (mkdtemp(made.data()) == 0) {
        return Refused(why, Cause(("no temporary folder can be made in " + folder).c_str())), ExitStatusForErrno(errno) == kExitNoPermission ? kExitNoPermission : kExitCannotCreate;
    }
    target->temporary = made.data();
    target->temporaryFile = target->temporary + "/" + name;
    target->fd = open(target->temporaryFile.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (target->fd < 0) {
        Refused(why, Cause(("the copy cannot be created in " + folder).c_str()));
        rmdir(target->temporary.c_str());
        return kExitCannotCreate;
    }
    return kExitOk;
}

int FormatCopyTarget(const CopyTarget &target, int64_t diskBytes, int wallRuleset, std::string *why) {
    if (target.format == kFormatRaw) {
        return ftruncate(target.fd, (off_t)diskBytes) == 0 || Refused(why, Cause("the raw copy cannot be sized"));
    }
    const char *name = ImageFormatName(target.format);
    std::string out;
    // By its name in our private folder: a vmdk's descriptor names its file.
    const int made = RunQemuImgOn(target.fd, wallRuleset,
                                  {"create", "-q", "-f", name, target.temporaryFile, std::to_string(diskBytes)}, &out);
    if (made != 0) return Refused(why, std::string("qemu-img create cannot make the ") + name + " copy: " + out.substr(0, 300));
    // A format that rounds the disk up would move a GPT's backup header.
    if (RunQemuImgOn(target.fd, wallRuleset, {"info", "--output=json", QemuImageJson(target.format)}, &out) != 0 ||
        JsonNumberAfter(out, "virtual-size") != diskBytes) {
        return Refused(why, std::string("the ") + name + " format cannot hold a disk of exactly " +
                                std::to_string(diskBytes) + " bytes");
    }
    return 1;
}

int CopyHasRoom(const CopyTarget &target, int64_t diskBytes, const std::vector<ByteRange> &freeRanges,
                int64_t sourceAllocated, std::string *why) {
    int64_t used = diskBytes;
    for (const ByteRange &range : freeRanges) used -= range.end - range.start;
    if (sourceAllocated >= 0 && sourceAllocated < used) used = sourceAllocated;
    // The format's tables: qcow2's L2 and refcounts, vdi's block map, vmdk's
    // grain tables, vhdx's BAT, log and metadata regions.
    const int64_t needed = used + diskBytes / 1024 + (16 << 20);
    struct statvfs room;
    if (fstatvfs(target.fd, &room) != 0) return Refused(why, Cause("the target's file system cannot be measured"));
    const int64_t free = (int64_t)room.f_bavail * (int64_t)room.f_frsize;
    if (free < needed) {
        return Refused(why, "the copy needs up to " + std::to_string(needed) + " bytes where it goes, and that file system has " +
                                std::to_string(free) + " free");
    }
    return 1;
}

ImageStore *ServeCopyTarget(const CopyTarget &target, int64_t diskBytes, int wallRuleset, std::string *why) {
    if (target.format == kFormatRaw) return 0;
    char reason[256] = "";
    ImageStore *served = OpenNbdImageStore(target.fd, target.format, 1, wallRuleset, reason, sizeof reason);
    if (served == 0) {
        Refused(why, std::string("qemu-nbd does not serve the new ") + ImageFormatName(target.format) + " copy: " + reason);
    } else if (served->size != diskBytes) {
        ReleaseImageStore(served);
        served = 0;
        Refused(why, "the new copy's disk is not the image's size");
    }
    return served;
}

int WriteCompactCopy(ImageStore *source, const std::vector<ByteRange> &freeRanges, const CopyTarget &target,
                     ImageStore *served, int wallRuleset, uint64_t killAfterWrites, int64_t *written, std::string *why) {
    *written = 0;
    CopyWriter writer = {target.fd, served, 0, killAfterWrites};
    std::vector<uint8_t> buffer(kCopyChunk);
    int64_t at = 0;
    int copied = 1;
    for (size_t i = 0; copied && i <= freeRanges.size(); i++) {
        const int64_t end = i < freeRanges.size() ? std::min(freeRanges[i].start, source->size) : source->size;
        if (end > at) copied = CopySpan(source, writer, at, end, &buffer, written, why);
        if (i < freeRanges.size()) at = std::max(at, freeRanges[i].end);
    }
    if (writer.store != 0) {
        copied = copied && (FinishImageStore(writer.store) || Refused(why, "qemu-nbd did not flush the copy"));
        // qemu-nbd has ended and written its tables once this returns.
        ReleaseImageStore(writer.store);
    }
    if (!copied) return 0;
    if (target.format != kFormatRaw) {
        std::string out;
        const int checked = RunQemuImgOn(target.fd, wallRuleset, {"check", "-q", QemuImageJson(target.format)}, &out);
        if (checked != 0) return Refused(why, "qemu-img check finds the copy unsound: " + out.substr(0, 300));
    }
    return fsync(target.fd) == 0 || Refused(why, Cause("the copy cannot be synced"));
}

int SettleCopyTarget(CopyTarget *target, int keep, int overwrite, std::string *why) {
    int settled = 1;
    if (keep) {
        // Without --overwrite a name that appeared meanwhile is kept too.
        int renamed = overwrite ? rename(target->temporaryFile.c_str(), target->path.c_str())
                                : renameat2(AT_FDCWD, target->temporaryFile.c_str(), AT_FDCWD, target->path.c_str(),
                                            RENAME_NOREPLACE);
        if (renamed != 0 && !overwrite && errno == EINVAL) {
            // A file system without RENAME_NOREPLACE: a link fails on an existing name too.
            renamed = link(target->temporaryFile.c_str(), target->path.c_str());
            if (renamed == 0) unlink(target->temporaryFile.c_str());
        }
        if (renamed != 0) {
            settled = Refused(why, Cause(("the copy cannot be named " + target->path).c_str()));
            unlink(target->temporaryFile.c_str());
        } else {
            const size_t slash = target->path.rfind('/');
            const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target->path.substr(0, slash);
            int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (folderFd >= 0) {
                fsync(folderFd);
                close(folderFd);
            }
        }
    } else {
        unlink(target->temporaryFile.c_str());
    }
    rmdir(target->temporary.c_str());
    if (target->fd >= 0) close(target->fd);
    target->fd = -1;
    return settled;
}
