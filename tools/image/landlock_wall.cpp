#include "landlock_wall.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Rights of later ABIs than the headers of Debian 12 know.
const uint64_t kAccessTruncate = 1ULL << 14;  // ABI 3

const uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE;
const uint64_t kReadRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
const uint64_t kAbi1Rights = kFileRights | LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                             LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                             LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_SOCK |
                             LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;

// Where programs and their libraries load from, and the configuration
// the loader and QEMU read; all read-only under the wall.
const char *const kSystemFolders[] = {"/usr", "/lib", "/lib64", "/lib32", "/bin", "/sbin", "/etc", "/sys/devices/system"};
// Devices QEMU opens at start: its null output, its random seed (read only).
const struct {
    const char *path;
    uint64_t rights;
} kSystemDevices[] = {
    {"/dev/null", LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE},
    {"/dev/urandom", LANDLOCK_ACCESS_FS_READ_FILE},
    {"/dev/random", LANDLOCK_ACCESS_FS_READ_FILE},
};

int AddRule(int ruleset, int fd, uint64_t rights) {
    struct landlock_path_beneath_attr rule;
    memset(&rule, 0, sizeof rule);
    rule.allowed_access = rights;
    rule.parent_fd = fd;
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
}

int AddPathRule(int ruleset, const char *path, uint64_t rights) {
    int fd = open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) return 1;  // not on this system: nothing to allow
    struct stat info;
    if (fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode)) rights &= kFileRights;
    int added = AddRule(ruleset, fd, rights);
    close(fd);
    return added;
}

}  // namespace

int BuildWall(const int *writableFds, int writableCount, int *rulesetFd, std::string *why) {
    *rulesetFd = -1;
    long abi = syscall(SYS_landlock_create_ruleset, 0, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) {
        *why = std::string("the kernel has no Landlock (") + strerror(errno) + "): the run is not walled in";
        return kWallUnavailable;
    }
    struct landlock_ruleset_attr attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.handled_access_fs = kAbi1Rights;
    uint64_t fileRights = kFileRights;
    if (abi >= 2) attributes.handled_access_fs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3) {
        attributes.handled_access_fs |= kAccessTruncate;
        fileRights |= kAccessTruncate;
    }
    int ruleset = (int)syscall(SYS_landlock_create_ruleset, &attributes, sizeof attributes, 0);
    if (ruleset < 0) {
        *why = std::string("no Landlock ruleset (") + strerror(errno) + ")";
        return kWallFailed;
    }
    int built = 1;
    for (int i = 0; i < writableCount && built; i++) {
        built = AddRule(ruleset, writableFds[i], fileRights & ~LANDLOCK_ACCESS_FS_EXECUTE);
    }
    for (const char *folder : kSystemFolders) built = built && AddPathRule(ruleset, folder, kReadRights);
    for (const auto &device : kSystemDevices) built = built && AddPathRule(ruleset, device.path, device.rights);
    if (!built) {
        *why = std::string("a Landlock rule cannot be added (") + strerror(errno) + ")";
        close(ruleset);
        return kWallFailed;
    }
    *rulesetFd = ruleset;
    return kWallRaised;
}

int EnterWall(int rulesetFd) {
    int entered = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                  syscall(SYS_landlock_restrict_self, rulesetFd, 0) == 0;
    close(rulesetFd);
    return entered;
}
