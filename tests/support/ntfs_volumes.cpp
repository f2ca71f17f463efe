#include "ntfs_volumes.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>

extern char **environ;

namespace {

std::string ReadWhole(int fd) {
    std::string text;
    char buffer[65536];
    if (lseek(fd, 0, SEEK_SET) != 0) return text;
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, (size_t)got);
    }
    return text;
}

// The value after "<key>:" on a line of ntfsinfo's output; -1 when missing.
int64_t InfoValue(const std::string &info, const char *key) {
    std::istringstream lines(info);
    std::string line;
    const std::string wanted = std::string(key) + ":";
    while (std::getline(lines, line)) {
        size_t at = line.find(wanted);
        if (at == std::string::npos) continue;
        const char *value = line.c_str() + at + wanted.size();
        char *end = 0;
        long long number = strtoll(value, &end, 10);
        if (end != value) return number;
    }
    return -1;
}

int AllZero(const uint8_t *bytes, size_t size) {
    for (size_t i = 0; i < size; i++)
        if (bytes[i] != 0) return 0;
    return 1;
}

}  // namespace

int ClusterIsUsed(const std::vector<uint8_t> &bitmap, uint64_t cluster) {
    uint64_t byte = cluster / 8;
    // Clusters the bitmap does not describe count as used.
    return byte >= bitmap.size() || (bitmap[byte] >> (cluster % 8) & 1) != 0;
}

std::vector<std::pair<int64_t, int64_t>> FileHoles(const std::string &path) {
    std::vector<std::pair<int64_t, int64_t>> holes;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {{-1, -1}};
    const int64_t size = lseek(fd, 0, SEEK_END);
    for (int64_t at = 0; at < size;) {
        int64_t hole = lseek(fd, at, SEEK_HOLE);
        if (hole < 0 || hole >= size) break;
        int64_t data = lseek(fd, hole, SEEK_DATA);
        if (data < 0) data = size;
        holes.push_back({hole, data});
        at = data;
    }
    close(fd);
    return holes;
}

namespace {

// Starts argv[0] (searched on PATH) with stdin from /dev/null and stdout and
// stderr on `outFd` and `errFd` (-1: /dev/null). 0 when it started.
int SpawnTool(const std::vector<std::string> &argv, int outFd, int errFd, pid_t *pid) {
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    else posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    int spawned = posix_spawnp(pid, args[0], &actions, 0, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned;
}

}  // namespace

ToolRun RunTool(const std::vector<std::string> &argv) {
    ToolRun run = {-1, "", ""};
    int outFd = memfd_create("tool-out", MFD_CLOEXEC);
    int errFd = memfd_create("tool-err", MFD_CLOEXEC);
    if (outFd < 0 || errFd < 0) {
        if (outFd >= 0) close(outFd);
        if (errFd >= 0) close(errFd);
        run.err = "memfd_create failed";
        return run;
    }
    pid_t pid = 0;
    int spawned = SpawnTool(argv, outFd, errFd, &pid);
    if (spawned == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = ReadWhole(outFd);
        run.err = ReadWhole(errFd);
    } else {
        run.err = "cannot run " + argv[0] + ": " + strerror(spawned);
    }
    close(outFd);
    close(errFd);
    return run;
}

std::string MakeScratchDirectory(const char *prefix) {
    const char *base = getenv("QUILLET_TEST_SCRATCH");
    std::string pattern = std::string(base != 0 && *base != 0 ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data()) == 0) return "";
    return name.data();
}

void RemoveScratchDirectory(const std::string &path) {
    if (path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

int64_t FileSize(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_size : -1;
}

int ReadBytes(const std::string &path, int64_t offset, int64_t size, std::vector<uint8_t> *bytes) {
    bytes->assign((size_t)size, 0);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    int64_t done = 0;
    while (done < size) {
        ssize_t got = pread(fd, bytes->data() + done, (size_t)(size - done), (off_t)(offset + done));
        if (got <= 0) break;
        done += got;
    }
    close(fd);
    return done == size;
}

int WriteBytes(const std::string &path, int64_t offset, const void *bytes, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    ssize_t written = pwrite(fd, bytes, size, (off_t)offset);
    return close(fd) == 0 && written == (ssize_t)size;
}

int CopySparse(const std::string &from, int64_t fromOffset, const std::string &to, int64_t toOffset,
               int64_t size) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    int ok = in >= 0 && out >= 0;
    struct stat info;
    if (ok && fstat(out, &info) == 0 && info.st_size < toOffset + size) {
        ok = ftruncate(out, (off_t)(toOffset + size)) == 0;
    }
    std::vector<uint8_t> block(65536);
    for (int64_t done = 0; ok && done < size;) {
        size_t want = (size_t)std::min<int64_t>((int64_t)block.size(), size - done);
        ssize_t got = pread(in, block.data(), want, (off_t)(fromOffset + done));
        if (got <= 0) {
            ok = 0;
            break;
        }
        if (!AllZero(block.data(), (size_t)got) &&
            pwrite(out, block.data(), (size_t)got, (off_t)(toOffset + done)) != got) {
            ok = 0;
        }
        done += got;
    }
    if (in >= 0) close(in);
    // Written back, the copy's allocation (st_blocks) is settled: tests
    // measure what a run releases from it.
    if (ok && fdatasync(out) != 0) ok = 0;
    if (out >= 0 && close(out) != 0) ok = 0;
    return ok;
}

int ReadNtfsOracle(const std::string &path, NtfsVolume *volume, std::string *error) {
    ToolRun info = RunTool({"ntfsinfo", "-m", "-f", path});
    if (info.status != 0) {
        *error = "ntfsinfo failed: " + info.err;
        return 0;
    }
    int64_t sectorSize = InfoValue(info.out, "Sector Size");
    int64_t mftRecordSize = InfoValue(info.out, "MFT Record Size");
    volume->sectorSize = (uint32_t)sectorSize;
    volume->mftRecordSize = (uint32_t)mftRecordSize;
    volume->clusters = InfoValue(info.out, "Volume Size in Clusters");
    volume->mftCluster = InfoValue(info.out, "LCN of Data Attribute for FILE_MFT");
    if (InfoValue(info.out, "Cluster Size") != volume->clusterSize || sectorSize <= 0 || mftRecordSize <= 0 ||
        volume->clusters <= 0 || volume->mftCluster <= 0) {
        *error = "unexpected ntfsinfo output:\n" + info.out;
        return 0;
    }
    ToolRun bitmap = RunTool({"ntfscat", "-f", path, "$Bitmap"});
    if (bitmap.status != 0 || bitmap.out.empty()) {
        *error = "ntfscat $Bitmap failed: " + bitmap.err;
        return 0;
    }
    volume->bitmap.assign(bitmap.out.begin(), bitmap.out.end());
    return 1;
}

// A sparse file of `volumeBytes` at `path` with a fresh file system in it.
static int FormatNtfsVolume(const std::string &path, uint32_t sectorSize, uint32_t clusterSize,
                            uint64_t volumeBytes, NtfsVolume *volume, std::string *error,
                            const std::vector<std::string> &options = {}) {
    volume->path = path;
    volume->clusterSize = clusterSize;
    volume->volumeBytes = volumeBytes;
    volume->files.clear();
    unlink(path.c_str());
    if (!WriteBytes(path, 0, "", 0) || truncate(path.c_str(), (off_t)volumeBytes) != 0) {
        *error = "cannot create " + path;
        return 0;
    }
    std::vector<std::string> argv = {"mkntfs", "-F", "-Q", "-q", "-s", std::to_string(sectorSize), "-c",
                                     std::to_string(clusterSize)};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(path);
    ToolRun made = RunTool(argv);
    if (made.status != 0) {
        *error = "mkntfs failed: " + made.err;
        return 0;
    }
    return 1;
}

static std::string RandomBytes(std::mt19937 *random, size_t size) {
    std::string bytes(size, 0);
    for (char &byte : bytes) byte = (char)((*random)() & 0xFF);
    return bytes;
}

int MakeNtfsVolume(const std::string &path, uint32_t sectorSize, uint32_t clusterSize, uint64_t volumeBytes,
                   uint32_t seed, NtfsVolume *volume, std::string *error) {
    if (!FormatNtfsVolume(path, sectorSize, clusterSize, volumeBytes, volume, error)) return 0;

    // Sizes in clusters and bytes mixed so the holes left by the truncated
    // files are of every kind: shorter than 4096 bytes, a few blocks, and
    // longer than one 2 MiB command.
    const uint64_t c = clusterSize;
    const uint64_t sizes[] = {
        100,         c,          c + 1,     3 * c - 7,       5 * c,     c,     8 * c + 100, 2 * c,
        700 * 1024,  c,          3 << 20,   2 * c,           4 * c + 1, 1,     6 * c,       (5 << 20) + c / 2,
        3 * c,       2 * c + 17, 4096,      (2 << 20) + 4096, 7 * c,   8192,
    };
    std::mt19937 random(seed);
    std::string source = path + ".source";
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
        NtfsFile file;
        file.name = "file" + std::to_string(i) + ".bin";
        file.content = RandomBytes(&random, (size_t)sizes[i]);
        unlink(source.c_str());
        if (!WriteBytes(source, 0, file.content.data(), file.content.size())) {
            *error = "cannot write " + source;
            return 0;
        }
        ToolRun copied = RunTool({"ntfscp", "-q", "-f", path, source, file.name});
        if (copied.status != 0) {
            *error = "ntfscp " + file.name + " failed: " + copied.err;
            return 0;
        }
        volume->files.push_back(file);
    }
    unlink(source.c_str());

    ToolRun listed = RunTool({"ntfsls", "-f", "-i", path});
    if (listed.status != 0) {
        *error = "ntfsls failed: " + listed.err;
        return 0;
    }
    for (size_t i = 1; i < volume->files.size(); i += 2) {
        NtfsFile &file = volume->files[i];
        std::istringstream lines(listed.out);
        std::string inode, name;
        while (lines >> inode >> name && name != file.name) {
        }
        if (name != file.name) {
            *error = "ntfsls does not list " + file.name;
            return 0;
        }
        ToolRun truncated = RunTool({"ntfstruncate", "-f", path, inode, "0"});
        if (truncated.status != 0) {
            *error = "ntfstruncate " + file.name + " failed: " + truncated.err;
            return 0;
        }
        file.content.clear();
    }
    return ReadNtfsOracle(path, volume, error);
}

int GrowNtfsVolume(uint64_t volumeBytes, NtfsVolume *volume, std::string *error) {
    if (truncate(volume->path.c_str(), (off_t)volumeBytes) != 0) {
        *error = "cannot grow " + volume->path;
        return 0;
    }
    ToolRun resized = RunTool({"ntfsresize", "-f", "-f", "-s", std::to_string(volumeBytes), volume->path});
    if (resized.status != 0) {
        *error = "ntfsresize failed: " + resized.out + resized.err;
        return 0;
    }
    volume->volumeBytes = volumeBytes;
    return ReadNtfsOracle(volume->path, volume, error);
}

int FuseAvailable() { return access("/dev/fuse", R_OK | W_OK) == 0; }

static int IsMountPoint(const std::string &directory) {
    struct stat inside, parent;
    return stat(directory.c_str(), &inside) == 0 && stat((directory + "/..").c_str(), &parent) == 0 &&
           inside.st_dev != parent.st_dev;
}

int MountNtfs(const std::string &image, const std::string &options, NtfsMount *mount, std::string *error) {
    mount->directory = image + ".mount";
    mount->pid = -1;
    mkdir(mount->directory.c_str(), 0755);
    const std::string all = "no_detach" + (options.empty() ? "" : "," + options);
    pid_t pid = 0;
    int spawned = SpawnTool({"ntfs-3g", "-o", all, image, mount->directory}, -1, -1, &pid);
    if (spawned != 0) {
        *error = std::string("cannot run ntfs-3g: ") + strerror(spawned);
        return 0;
    }
    mount->pid = pid;
    // Bounded: ten seconds for the mount to appear.
    for (int wait = 0; wait < 1000; wait++) {
        if (IsMountPoint(mount->directory)) return 1;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            mount->pid = -1;
            *error = "ntfs-3g could not mount " + image;
            return 0;
        }
        usleep(10000);
    }
    *error = "ntfs-3g did not mount " + image + " in time";
    UnmountNtfs(mount, error);
    return 0;
}

int UnmountNtfs(NtfsMount *mount, std::string *error) {
    if (mount->pid < 0) return 0;
    ToolRun unmounted = RunTool({"umount", mount->directory});
    if (unmounted.status != 0) unmounted = RunTool({"fusermount", "-u", mount->directory});
    // ntfs-3g writes everything back before it exits.
    int status = 0;
    while (waitpid(mount->pid, &status, 0) < 0 && errno == EINTR) {
    }
    mount->pid = -1;
    rmdir(mount->directory.c_str());
    if (unmounted.status != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = "unmounting " + mount->directory + " failed: " + unmounted.err;
        return 0;
    }
    return 1;
}

NtfsRecipe AgedNtfsRecipe(uint32_t sectorSize, uint32_t clusterSize, uint64_t volumeBytes) {
    NtfsRecipe recipe = {};
    recipe.sectorSize = sectorSize;
    recipe.clusterSize = clusterSize;
    recipe.volumeBytes = volumeBytes;
    // Notes on the root folder as named streams: once they no longer fit,
    // its record gets an attribute list and its $FILE_NAME moves out to an
    // extension record. mkntfs makes records of 1 KiB, or a sector if larger.
    recipe.rootNotes = std::max(1024u, sectorSize) / 64;
    recipe.bare = 1;
    recipe.agingRounds = 6;
    return recipe;
}

NtfsRecipe ShapedNtfsRecipe(NtfsShape shape) {
    NtfsRecipe recipe = {};
    recipe.sectorSize = 512;
    recipe.clusterSize = shape == kHiberfilPastMftFirstSegment ? 1024 : 4096;
    recipe.volumeBytes = (uint64_t)(shape == kRootIndexInExtensions ? 8 : shape == kHiberfilPastMftFirstSegment ? 12 : 16)
                         << 20;
    recipe.hiberfil = "";
    recipe.bare = 1;
    if (shape == kRootIndexInExtensions) {
        // More notes than the root's record holds: it is nearly full when
        // the index starts to grow, and what grows moves out. Photos
        // between the names put data between the index blocks, so the
        // index allocation fragments; past 64 blocks its bitmap grows too.
        recipe.rootNotes = 30;
        recipe.rootFiles = 1500;
        recipe.rootNameFormat =
            "Minutes of the meeting about the garden fence, the hedge and the shed, taken by the neighbour, %u.txt";
        recipe.rootFileBytes = 60;
        recipe.photoEvery = 10;
    } else if (shape == kHiberfilNameAcrossStride) {
        // Nothing else in the root folder: these names alone place
        // hiberfil.sys's across a stride's end.
        recipe.rootFiles = 52;
        recipe.rootNameFormat =
            "A file with a long name, as documents get them, number %u of round 0 of the aging of this volume.txt";
        recipe.rootFileBytes = 60;
    } else {
        // Few records past those the deletes freed: $MFT's next pieces,
        // hiberfil.sys's record among them, land past record 0's own part.
        recipe.fragmentMft = 1;
        recipe.extraRecords = 250;
    }
    return recipe;
}

int MakeRecipeNtfsVolume(const std::string &path, const NtfsRecipe &recipe, uint32_t seed, NtfsVolume *volume,
                         std::string *error) {
    if (!FormatNtfsVolume(path, recipe.sectorSize, recipe.clusterSize, recipe.volumeBytes, volume, error,
                          recipe.mkntfsOptions)) {
        return 0;
    }
    NtfsMount mount;
    if (!MountNtfs(path, recipe.compressed ? "compression" : "", &mount, error)) return 0;
    std::mt19937 random(seed);
    const std::string root = mount.directory + "/";
    std::string failed;
    const auto check = [&](int result, const std::string &what) {
        if (!result && failed.empty()) failed = what + ": " + strerror(errno);
        return failed.empty();
    };
    const auto keep = [&](const std::string &name, const std::string &content) {
        if (content.size() <= (4u << 20)) volume->files.push_back({name, content});
    };
    const auto add = [&](const std::string &name, const std::string &content) {
        if (check(WriteBytes(root + name, 0, content.data(), content.size()), "writing " + name)) keep(name, content);
    };
    // Large contents: one random MiB over and over, each copy stamped with
    // its number, written a MiB at a time; returns what was written.
    const std::string mebibyte = RandomBytes(&random, 1 << 20);
    const auto write = [&](const std::string &name, uint64_t size, int tolerateFull) {
        const int fd = open((root + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        uint64_t done = 0;
        std::string chunk = mebibyte;
        for (uint64_t n = 0; fd >= 0 && done < size; n++) {
            memcpy(&chunk[0], &n, sizeof n);
            const size_t piece = (size_t)std::min<uint64_t>(size - done, chunk.size());
            const ssize_t written = ::write(fd, chunk.data(), piece);
            if (written != (ssize_t)piece) {
                if (!(tolerateFull && errno == ENOSPC)) check(0, "writing " + name);
                break;
            }
            done += piece;
        }
        check(fd >= 0 && close(fd) == 0, "closing " + name);
        return done;
    };
    for (uint32_t i = 0; i < recipe.rootNotes && failed.empty(); i++) {
        const std::string value = RandomBytes(&random, 40);
        check(setxattr(mount.directory.c_str(), ("user.note-" + std::to_string(i)).c_str(), value.data(),
                       value.size(), 0) == 0,
              "a note on the root folder");
    }
    const size_t kSizes[] = {0, 60, 700, 1500, 5000, 40000, 300000};
    if (!recipe.bare) {
        check(std::filesystem::create_directories(root + "Documents/Letters/2019"), "mkdir Documents");
        for (int i = 0; i < 6 && failed.empty(); i++) {
            add("Documents/Letters/2019/letter " + std::to_string(i) + ".doc", RandomBytes(&random, kSizes[i + 1]));
        }
    }
    for (uint32_t i = 0; i < recipe.rootFiles && failed.empty(); i++) {
        std::string name;
        if (recipe.rootNameFormat != 0) {
            char formatted[256];
            snprintf(formatted, sizeof formatted, recipe.rootNameFormat, i);
            name = formatted;
        } else {
            name = "Entry " + std::to_string(i) + " ";
            while (name.size() + 4 < recipe.nameLength) name += (char)('a' + (name.size() * 7 + i) % 26);
            name += ".txt";
        }
        // Many files: small ones, so thousands fit on small volumes.
        add(name, RandomBytes(&random, recipe.rootFileBytes != 0 ? recipe.rootFileBytes
                                                                  : kSizes[random() % (recipe.rootFiles > 400 ? 4 : 7)]));
        if (recipe.photoEvery != 0 && i % recipe.photoEvery == 0) {
            add("photo " + std::to_string(i) + ".jpg", RandomBytes(&random, 8192));
        }
    }
    // Rounds of use: nested folders, hundreds of long-named files in the
    // root folder and a large file, half of each round's files deleted
    // again. From the third round on a filler leaves little room: ntfs-3g
    // keeps an eighth of the volume for $MFT to grow into, and once the rest
    // is taken, file data and $MFT take turns in it and $MFT fragments. On
    // large clusters mostly resident files, so the rounds fit.
    const size_t smallClusterSizes[] = {60, 700, 1500, 5000, 12000};
    const size_t largeClusterSizes[] = {60, 200, 400, 600, 5000};
    const size_t *roundSizes = recipe.clusterSize > 4096 ? largeClusterSizes : smallClusterSizes;
    const int kRootFilesPerRound = 400, kFillerRound = 2;
    for (int round = 0; round < recipe.agingRounds && failed.empty(); round++) {
        if (round == kFillerRound) {
            struct statvfs space;
            check(statvfs(mount.directory.c_str(), &space) == 0, "statvfs");
            const uint64_t free = (uint64_t)space.f_bavail * space.f_frsize;
            const uint64_t leave = recipe.volumeBytes / 8 + (4 << 20) + 256 * (uint64_t)recipe.clusterSize;
            write("filler.bin", free > leave ? free - leave : 0, 0);
        }
        const std::string folder = "folder " + std::to_string(round) + "/nested/deeper";
        check(std::filesystem::create_directories(root + folder), "mkdir " + folder);
        for (int i = 0; i < 3; i++) add(folder + "/inner " + std::to_string(i) + ".bin", RandomBytes(&random, roundSizes[i + 2]));
        std::vector<NtfsFile> made;
        for (int i = 0; i < kRootFilesPerRound && failed.empty(); i++) {
            NtfsFile file = {"A file with a long name, as documents get them, number " + std::to_string(i) +
                                 " of round " + std::to_string(round) + " of the aging of this volume.txt",
                             RandomBytes(&random, roundSizes[random() % 5])};
            check(WriteBytes(root + file.name, 0, file.content.data(), file.content.size()), "writing " + file.name);
            made.push_back(file);
        }
        // A large file between the rounds: what grows next lands behind it.
        add("large " + std::to_string(round) + ".bin", RandomBytes(&random, (1 << 20) + round * recipe.clusterSize));
        std::shuffle(made.begin(), made.end(), random);
        for (size_t i = 0; i < made.size() && failed.empty(); i++) {
            if (i % 2 == 0) {
                check(unlink((root + made[i].name).c_str()) == 0, "unlink " + made[i].name);
            } else {
                keep(made[i].name, made[i].content);
            }
        }
    }
    if (recipe.agingRounds > kFillerRound) check(unlink((root + "filler.bin").c_str()) == 0, "unlink filler.bin");
    for (int i = 0; recipe.streams && i < 6 && failed.empty(); i++) {
        const std::string name = "Documents/photo " + std::to_string(i) + ".jpg";
        add(name, RandomBytes(&random, kSizes[i]));
        const std::string summary = RandomBytes(&random, 100), thumbnail = RandomBytes(&random, 20000 + 4096 * i);
        check(setxattr((root + name).c_str(), "user.summary", summary.data(), summary.size(), 0) == 0 &&
                  setxattr((root + name).c_str(), "user.thumbnail", thumbnail.data(), thumbnail.size(), 0) == 0,
              "streams of " + name);
    }
    if (recipe.streams) {
        const std::string zone = "[ZoneTransfer]\r\nZoneId=3\r\n";
        check(setxattr((root + "Documents").c_str(), "user.Zone.Identifier", zone.data(), zone.size(), 0) == 0,
              "a stream on a folder");
    }
    for (int i = 0; recipe.hardLinks && i < 5 && failed.empty(); i++) {
        const std::string name = "shared " + std::to_string(i) + ".bin";
        const std::string content = RandomBytes(&random, kSizes[i + 2]);
        add(name, content);
        if (check(link((root + name).c_str(), (root + "Documents/also " + name).c_str()) == 0, "link " + name)) {
            keep("Documents/also " + name, content);
        }
    }
    if (recipe.compressed && failed.empty()) {
        check(mkdir((root + "Compressed").c_str(), 0755) == 0, "mkdir Compressed");
        const uint8_t compressedFlag[4] = {0, 0, 0x08, 0};  // FILE_ATTRIBUTE_COMPRESSED, big-endian
        check(setxattr((root + "Compressed").c_str(), "system.ntfs_attrib_be", compressedFlag, 4, 0) == 0,
              "compressing a folder");
        for (int i = 0; i < 8 && failed.empty(); i++) {
            std::string text;
            while (text.size() < (size_t)(20000 << (i % 5))) {
                text += "Line " + std::to_string(text.size()) + " of a report that repeats itself.\n";
            }
            // Every other file barely compresses: a unit stays whole.
            add("Compressed/report " + std::to_string(i) + ".txt",
                i % 2 ? text : RandomBytes(&random, text.size() / 3) + text.substr(0, text.size() / 2));
        }
    }
    for (int i = 0; recipe.sparse && i < 3 && failed.empty(); i++) {
        const std::string name = "sparse " + std::to_string(i) + ".vhd";
        const std::string head = RandomBytes(&random, 5000), tail = RandomBytes(&random, 3000);
        const uint64_t gap = (uint64_t)(1 + i) << 21;
        check(WriteBytes(root + name, 0, head.data(), head.size()) &&
                  WriteBytes(root + name, (int64_t)gap, tail.data(), tail.size()),
              "writing " + name);
        keep(name, head + std::string(gap - head.size(), 0) + tail);
    }
    size_t pieces = 0;
    const uint32_t record = std::max(1024u, recipe.sectorSize);
    if (recipe.fragmentMft) {
        // As kHiberfilPastMftFirstSegment, last but for hiberfil.sys: pieces
        // of a cluster or a record, the larger, until the volume is full;
        // then records enough for a few hundred more pieces of $MFT.
        check(mkdir((root + "pieces").c_str(), 0755) == 0, "mkdir pieces");
        for (; failed.empty(); pieces++) {
            const std::string name = "pieces/piece " + std::to_string(pieces);
            const std::string content = RandomBytes(&random, std::max(recipe.clusterSize, record) - 24);
            if (!WriteBytes(root + name, 0, content.data(), content.size())) {
                check(unlink((root + name).c_str()) == 0 || errno == ENOENT, "unlink " + name);
                break;
            }
            if (pieces % 2 == 1) keep(name, content);
        }
        for (size_t i = 0; i < pieces && failed.empty(); i += 2) {
            check(unlink((root + "pieces/piece " + std::to_string(i)).c_str()) == 0, "unlink piece");
        }
        // On clusters past 4 KiB ntfs-3g grows $MFT a cluster at a time,
        // and few pieces come of many records: a few hundred are enough.
        const uint32_t perCluster = std::max<uint32_t>(1, recipe.clusterSize / record);
        const size_t more = recipe.extraRecords != 0 ? recipe.extraRecords
                                                     : (recipe.clusterSize <= 4096 ? 1000 : 100) * perCluster;
        // $MFT may fill the holes first: then the last few go again, so
        // that hiberfil.sys finds a record.
        for (size_t i = 0; i < pieces / 2 + more && failed.empty(); i++) {
            const std::string name = "pieces/small " + std::to_string(i), content = RandomBytes(&random, 100);
            if (WriteBytes(root + name, 0, content.data(), content.size())) {
                keep(name, content);
                continue;
            }
            for (size_t back = 0; back <= 16 && back <= i && failed.empty(); back++) {
                const std::string gone = "pieces/small " + std::to_string(i - back);
                check(unlink((root + gone).c_str()) == 0 || errno == ENOENT, "unlink " + gone);
                if (!volume->files.empty() && volume->files.back().name == gone) volume->files.pop_back();
            }
            break;
        }
    }
    if (recipe.largeBytes != 0 && failed.empty()) write("large.bin", recipe.largeBytes, 0);
    if (recipe.pagefileBytes != 0 && failed.empty()) write("pagefile.sys", recipe.pagefileBytes, 0);
    if (recipe.nearlyFull && failed.empty()) {
        struct statvfs space;
        check(statvfs(mount.directory.c_str(), &space) == 0, "statvfs");
        const uint64_t free = (uint64_t)space.f_bavail * space.f_frsize;
        const uint64_t leave = recipe.volumeBytes / 100 + 16 * (uint64_t)recipe.clusterSize;
        if (free > leave) write("filler.bin", free - leave, 1);
    }
    if (recipe.fragmentMft) {
        // Free runs long enough to trim: the last third of the pieces goes.
        for (NtfsFile &file : volume->files) {
            const size_t at = file.name.find("piece ");
            if (failed.empty() && at != std::string::npos &&
                strtoul(file.name.c_str() + at + 6, 0, 10) >= pieces * 2 / 3) {
                check(unlink((root + file.name).c_str()) == 0, "unlink " + file.name);
                file.name.clear();
            }
        }
        volume->files.erase(std::remove_if(volume->files.begin(), volume->files.end(),
                                           [](const NtfsFile &file) { return file.name.empty(); }),
                            volume->files.end());
    }
    if (recipe.hiberfil != 0 && failed.empty()) {
        std::string content(65536, 0);
        memcpy(&content[0], recipe.hiberfil, strlen(recipe.hiberfil));
        add("hiberfil.sys", content);
    }
    if (!failed.empty()) *error = "making the volume through the mount failed: " + failed;
    if (!UnmountNtfs(&mount, error) || !failed.empty()) return 0;
    return ReadNtfsOracle(path, volume, error);
}

std::string ShapeMissing(const NtfsVolume &volume, NtfsShape shape) {
    if (shape == kRootIndexInExtensions) {
        // "Dumping attribute $INDEX_ROOT (0x90) from mft record 81 (0x51)"
        const std::string info = RunTool({"ntfsinfo", "-f", "-i", "5", volume.path}).out;
        std::string missing;
        for (const char *name : {"$INDEX_ROOT", "$INDEX_ALLOCATION", "$BITMAP"}) {
            const std::string line = std::string("Dumping attribute ") + name + " (";
            int moved = 0;
            for (size_t at = info.find(line); at != std::string::npos; at = info.find(line, at + 1)) {
                const size_t from = info.find("from mft record ", at);
                if (from != std::string::npos && strtoll(info.c_str() + from + 16, 0, 10) != 5) moved = 1;
            }
            if (!moved) missing += std::string("the root folder's ") + name + " is all in its own record; ";
        }
        return missing;
    }
    if (shape == kHiberfilNameAcrossStride) {
        // The name whole in an index block once the update sequence is put
        // back, and not in its bytes as they lie on the disk.
        const std::string name = std::string("h\0i\0b\0e\0r\0f\0i\0l\0.\0s\0y\0s\0", 24);
        std::vector<uint8_t> block;
        for (int64_t at = 0; at < (int64_t)volume.volumeBytes; at += 4096) {
            if (!ReadBytes(volume.path, at, 4096, &block) || memcmp(block.data(), "INDX", 4) != 0) continue;
            const std::string raw(block.begin(), block.end());
            const uint32_t sequence = block[4] | block[5] << 8, count = block[6] | block[7] << 8;
            for (uint32_t stride = 1; stride < count && sequence + 2 * stride + 1 < 4096 && stride <= 8; stride++) {
                block[stride * 512 - 2] = block[sequence + 2 * stride];
                block[stride * 512 - 1] = block[sequence + 2 * stride + 1];
            }
            if (std::string(block.begin(), block.end()).find(name) != std::string::npos) {
                return raw.find(name) == std::string::npos ? "" : "hiberfil.sys's name lies inside one stride";
            }
        }
        return "no index block holds hiberfil.sys";
    }
    // Record 0's attribute list names a $DATA segment in another record,
    // from "Starting VCN" on; hiberfil.sys's record must lie past it.
    const std::string info = RunTool({"ntfsinfo", "-v", "-f", "-i", "0", volume.path}).out;
    std::istringstream lines(info);
    std::string line;
    int64_t type = 0, vcn = -1, segmentVcn = -1;
    while (std::getline(lines, line)) {
        const auto value = [&](const char *key) {
            const size_t at = line.find(key);
            return at == std::string::npos ? -1 : strtoll(line.c_str() + at + strlen(key), 0, 0);
        };
        if (value("Attribute type:") >= 0) type = value("Attribute type:");
        if (value("Starting VCN:") >= 0) vcn = value("Starting VCN:");
        if (value("MFT reference:") > 0 && type == 0x80 && segmentVcn < 0) segmentVcn = vcn;
    }
    if (segmentVcn <= 0) return "no $DATA segment of $MFT lies in an extension record";
    const int64_t hiberfil = NtfsInode(volume.path, "hiberfil.sys");
    if (hiberfil * volume.mftRecordSize < segmentVcn * volume.clusterSize) {
        return "hiberfil.sys is record " + std::to_string(hiberfil) + ", in the part record 0 maps itself";
    }
    return "";
}

std::string AgedLayoutMissing(const std::string &path, const NtfsVolume &volume) {
    const uint32_t size = volume.mftRecordSize;
    int listed = 0, nameLate = 0;
    for (uint32_t index = 0; index < 6; index++) {
        std::vector<uint8_t> record;
        if (!ReadBytes(path, volume.mftCluster * volume.clusterSize + (int64_t)index * size, size, &record)) {
            return "cannot read MFT record " + std::to_string(index);
        }
        const auto le16 = [&](uint32_t at) { return (uint32_t)(record[at] | record[at + 1] << 8); };
        const auto le32 = [&](uint32_t at) { return le16(at) | le16(at + 2) << 16; };
        // Put back the bytes the update sequence keeps for each 512 bytes.
        const uint32_t sequence = le16(4);
        for (uint32_t stride = 1; stride < le16(6) && stride * 512 <= size; stride++) {
            record[stride * 512 - 2] = record[sequence + 2 * stride];
            record[stride * 512 - 1] = record[sequence + 2 * stride + 1];
        }
        uint32_t fileNameAt = 0;
        for (uint32_t at = le16(0x14); at + 8 <= size && le32(at) != 0xFFFFFFFF && le32(at + 4) != 0;
             at += le32(at + 4)) {
            if (le32(at) == 0x20) listed = 1;
            if (le32(at) == 0x30 && fileNameAt == 0) fileNameAt = at;
        }
        if (fileNameAt == 0 || fileNameAt >= 512) nameLate = 1;
    }
    std::string missing;
    if (!listed) missing += "no record before $Bitmap has an attribute list; ";
    if (!nameLate) missing += "every record before $Bitmap shows its $FILE_NAME in its first 512 bytes";
    return missing;
}

void PutMbrEntry(uint8_t *sector, int number, uint8_t type, uint32_t firstSector, uint32_t sectorCount) {
    uint8_t *entry = sector + 446 + 16 * (number - 1);
    entry[4] = type;
    for (int i = 0; i < 4; i++) {
        entry[8 + i] = (uint8_t)(firstSector >> (8 * i));
        entry[12 + i] = (uint8_t)(sectorCount >> (8 * i));
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

std::vector<TrimCommand> ReferenceTrimCommands(const std::vector<uint8_t> &bitmap, uint64_t scannedBytes,
                                               uint32_t clusterSize, int64_t partitionOffset) {
    std::vector<TrimCommand> commands;
    uint64_t minRun = clusterSize >= 4096 ? 1 : 4096 / clusterSize;
    uint64_t clusters = scannedBytes * 8;
    uint64_t cluster = 0;
    while (cluster < clusters) {
        if (ClusterIsUsed(bitmap, cluster)) {
            cluster++;
            continue;
        }
        uint64_t first = cluster;
        while (cluster < clusters && !ClusterIsUsed(bitmap, cluster)) cluster++;
        if (cluster - first < minRun) continue;
        uint64_t start = (uint64_t)partitionOffset + first * clusterSize;
        uint64_t end = (uint64_t)partitionOffset + cluster * clusterSize;
        start = (start + 4095) / 4096 * 4096;
        end = end / 4096 * 4096;
        for (uint64_t at = start; at < end; at += 4096 * 512) {
            uint64_t piece = std::min<uint64_t>(end - at, 4096 * 512);
            commands.push_back({at / 512, (uint32_t)(piece / 512)});
        }
    }
    return commands;
}

uint64_t BytesOf(const std::vector<TrimCommand> &commands) {
    uint64_t bytes = 0;
    for (const TrimCommand &command : commands) bytes += (uint64_t)command.blocks * 512;
    return bytes;
}

std::vector<TrimCommand> TrimmedSpans(std::vector<TrimCommand> ranges) {
    std::sort(ranges.begin(), ranges.end(),
              [](const TrimCommand &a, const TrimCommand &b) { return a.lba < b.lba; });
    std::vector<TrimCommand> spans;
    for (const TrimCommand &range : ranges) {
        if (!spans.empty() && spans.back().lba + spans.back().blocks >= range.lba) {
            uint64_t end = std::max<uint64_t>(spans.back().lba + spans.back().blocks, range.lba + range.blocks);
            spans.back().blocks = (uint32_t)(end - spans.back().lba);
        } else {
            spans.push_back(range);
        }
    }
    return spans;
}

std::vector<TrimCommand> ListedSpans(const std::string &path) {
    std::vector<TrimCommand> ranges;
    std::istringstream lines(ReadText(path));
    TrimCommand range;
    while (lines >> range.lba >> range.blocks) ranges.push_back(range);
    return TrimmedSpans(ranges);
}

std::string ReadText(const std::string &path) {
    std::vector<uint8_t> bytes;
    const int64_t size = FileSize(path);
    if (size < 0 || !ReadBytes(path, 0, size, &bytes)) return "<unreadable>";
    return std::string(bytes.begin(), bytes.end());
}

std::string FormatCommandList(const std::vector<TrimCommand> &commands) {
    std::string text;
    for (const TrimCommand &command : commands) {
        text += std::to_string(command.lba) + " " + std::to_string(command.blocks) + "\n";
    }
    return text;
}

std::string CompareAfterTrim(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after,
                             const std::vector<TrimCommand> &commands, int64_t partitionOffset,
                             const NtfsVolume &volume) {
    if (before.size() != after.size()) return "the region changed size";
    std::vector<uint8_t> trimmed(before.size(), 0);
    for (const TrimCommand &command : commands) {
        int64_t start = (int64_t)command.lba * 512 - partitionOffset;
        int64_t end = start + (int64_t)command.blocks * 512;
        std::ostringstream what;
        what << "command " << command.lba << " " << command.blocks;
        if (start < 0 || end > (int64_t)before.size()) return what.str() + " lies outside the volume";
        for (uint64_t cluster = (uint64_t)start / volume.clusterSize;
             cluster * volume.clusterSize < (uint64_t)end; cluster++) {
            if ((int64_t)cluster >= volume.clusters || ClusterIsUsed(volume.bitmap, cluster)) {
                return what.str() + " covers used cluster " + std::to_string(cluster);
            }
        }
        memset(trimmed.data() + start, 1, (size_t)(end - start));
    }
    for (size_t i = 0; i < before.size(); i++) {
        uint8_t expected = trimmed[i] ? 0 : before[i];
        if (after[i] != expected) {
            std::ostringstream what;
            what << "volume byte " << i << " (cluster " << i / volume.clusterSize << ") reads "
                 << (int)after[i] << ", expected " << (int)expected << (trimmed[i] ? " (trimmed)" : "");
            return what.str();
        }
    }
    return "";
}

std::string FilesThatDiffer(const std::string &path, const NtfsVolume &volume, int mounted) {
    NtfsMount mount;
    std::string error;
    if (mounted && !MountNtfs(path, "ro", &mount, &error)) return error;
    std::string differ;
    for (const NtfsFile &file : volume.files) {
        std::string content;
        if (mounted) {
            int fd = open((mount.directory + "/" + file.name).c_str(), O_RDONLY | O_CLOEXEC);
            content = fd < 0 ? "(missing)" : ReadWhole(fd);
            if (fd >= 0) close(fd);
        } else {
            ToolRun cat = RunTool({"ntfscat", "-f", path, file.name});
            content = cat.status == 0 ? cat.out : "(missing)";
        }
        if (content != file.content) differ += (differ.empty() ? "" : ",") + file.name;
    }
    if (mounted && !UnmountNtfs(&mount, &error)) differ += error;
    return differ;
}

namespace {

void Put16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
void Put32(uint8_t *p, uint32_t v) {
    Put16(p, (uint16_t)v);
    Put16(p + 2, (uint16_t)(v >> 16));
}
void Put64(uint8_t *p, uint64_t v) {
    Put32(p, (uint32_t)v);
    Put32(p + 4, (uint32_t)(v >> 32));
}
uint32_t Get32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

}  // namespace

int FirstNtfsRun(const std::string &path, const std::string &file, int64_t *lcn, int64_t *length) {
    std::vector<std::string> argv = {"ntfsinfo", "-v", "-f"};
    const int byNumber = !file.empty() && file.find_first_not_of("0123456789") == std::string::npos;
    argv.insert(argv.end(), {byNumber ? "-i" : "-F", file, path});
    ToolRun info = RunTool(argv);
    size_t at = info.out.find("Runlist:");
    unsigned long long vcn = 1, first = 0, count = 0;
    if (info.status != 0 || at == std::string::npos ||
        sscanf(info.out.c_str() + info.out.find('\n', at), " 0x%llx 0x%llx 0x%llx", &vcn, &first, &count) != 3 ||
        vcn != 0) {
        return 0;
    }
    *lcn = (int64_t)first;
    *length = (int64_t)count;
    return 1;
}

int64_t NtfsInode(const std::string &path, const std::string &name) {
    ToolRun listed = RunTool({"ntfsls", "-f", "-i", path});
    std::istringstream lines(listed.out);
    std::string inode, listedName;
    while (lines >> inode >> listedName) {
        if (listedName == name) return strtoll(inode.c_str(), 0, 10);
    }
    return -1;
}

int WriteLogRestartPages(const std::string &path, const NtfsVolume &volume, int majorVersion, int minorVersion,
                         int clientInUse, std::string *error, int secondClientInUse, int secondNewer) {
    int64_t lcn = 0, runLength = 0;
    if (!FirstNtfsRun(path, "2", &lcn, &runLength)) {
        *error = "no $LogFile runlist from ntfsinfo";
        return 0;
    }
    const uint32_t pageSize = 4096, logSize = 512 * volume.clusterSize, sequenceAt = 0x1E, areaAt = 0x30;
    const uint16_t sequenceCount = 1 + pageSize / 512;
    ToolRun size = RunTool({"ntfsinfo", "-f", "-i", "2", path});
    int64_t realSize = -1;
    size_t data = size.out.find("Data Size:");
    if (data != std::string::npos) realSize = strtoll(size.out.c_str() + data + 10, 0, 10);
    uint64_t fileSize = realSize > 0 ? (uint64_t)realSize : logSize;
    const auto restartPage = [&](int inUse, uint64_t lsn) {
    std::vector<uint8_t> page(pageSize, 0);
    memcpy(page.data(), "RSTR", 4);
    Put16(&page[4], sequenceAt);
    Put16(&page[6], sequenceCount);
    Put32(&page[0x10], pageSize);  // system page size
    Put32(&page[0x14], pageSize);  // log page size
    Put16(&page[0x18], areaAt);
    Put16(&page[0x1A], (uint16_t)minorVersion);
    Put16(&page[0x1C], (uint16_t)majorVersion);
    uint8_t *area = &page[areaAt];
    uint32_t bits = 0;
    for (uint64_t s = fileSize; s != 0; s >>= 1) bits++;
    Put64(area + 0x00, lsn);                // current LSN
    Put16(area + 0x08, 1);                  // one log client
    Put16(area + 0x0A, inUse ? 0xFFFF : 0);  // free list
    Put16(area + 0x0C, inUse ? 0 : 0xFFFF);  // in-use list
    Put16(area + 0x0E, 0);                  // flags: not marked clean
    Put32(area + 0x10, 67 - bits);          // sequence number bits
    Put16(area + 0x14, 0x30 + 0xA0);        // restart area length
    Put16(area + 0x16, 0x30);               // client array offset
    Put64(area + 0x18, fileSize);
    Put16(area + 0x24, 0x30);               // log record header length
    Put16(area + 0x26, 0x40);               // log page data offset
    uint8_t *client = area + 0x30;
    Put64(client + 0x00, lsn);
    Put64(client + 0x08, lsn);
    Put16(client + 0x10, 0xFFFF);           // previous client
    Put16(client + 0x12, 0xFFFF);           // next client
    Put16(client + 0x14, 1);
    Put32(client + 0x1C, 8);                // name length in bytes: "NTFS"
    for (int i = 0; i < 4; i++) Put16(client + 0x20 + 2 * i, (uint16_t)"NTFS"[i]);
    // Update sequence: every sector ends with the sequence number.
    Put16(&page[sequenceAt], 1);
    for (uint32_t i = 1; i < sequenceCount; i++) {
        memcpy(&page[sequenceAt + 2 * i], &page[i * 512 - 2], 2);
        Put16(&page[i * 512 - 2], 1);
    }
    return page;
    };
    // Pages alike, or the second of its own state, newer or older.
    const uint64_t older = 0x100000, newer = 0x200000;
    const int alike = secondClientInUse < 0;
    const std::vector<uint8_t> first = restartPage(clientInUse, alike || secondNewer ? older : newer);
    const std::vector<uint8_t> second =
        alike ? first : restartPage(secondClientInUse, secondNewer ? newer : older);
    int64_t position = (int64_t)lcn * volume.clusterSize;
    if (!WriteBytes(path, position, first.data(), first.size()) ||
        !WriteBytes(path, position + pageSize, second.data(), second.size())) {
        *error = "cannot write the restart pages";
        return 0;
    }
    return 1;
}

int SetVolumeFlags(const std::string &path, const NtfsVolume &volume, uint16_t flags, std::string *error) {
    std::vector<uint8_t> boot, record;
    if (!ReadBytes(path, 0, 512, &boot)) {
        *error = "cannot read the boot sector";
        return 0;
    }
    uint64_t mirror = 0;
    for (int i = 7; i >= 0; i--) mirror = mirror << 8 | boot[0x38 + i];
    for (uint64_t cluster : {(uint64_t)volume.mftCluster, mirror}) {
        int64_t position = (int64_t)(cluster * volume.clusterSize) + 3 * (int64_t)volume.mftRecordSize;
        if (!ReadBytes(path, position, volume.mftRecordSize, &record) || memcmp(record.data(), "FILE", 4) != 0) {
            *error = "cannot read $Volume's record";
            return 0;
        }
        uint32_t at = record[0x14] | record[0x15] << 8;
        while (at + 8 <= record.size() && Get32(&record[at]) != 0x70 && Get32(&record[at]) != 0xFFFFFFFF &&
               Get32(&record[at + 4]) != 0) {
            at += Get32(&record[at + 4]);
        }
        if (at + 24 > record.size() || Get32(&record[at]) != 0x70) {
            *error = "no $VOLUME_INFORMATION in $Volume's record";
            return 0;
        }
        uint32_t flagsAt = at + (record[at + 0x14] | record[at + 0x15] << 8) + 10;
        uint8_t bytes[2] = {(uint8_t)flags, (uint8_t)(flags >> 8)};
        // A sector's last two bytes belong to the update sequence.
        if (flagsAt % 512 >= 510 || !WriteBytes(path, position + flagsAt, bytes, 2)) {
            *error = "cannot write the volume flags";
            return 0;
        }
    }
    return 1;
}

int PutNtfsFile(const std::string &path, const std::string &name, const std::string &content, std::string *error) {
    std::string source = path + ".put";
    unlink(source.c_str());
    if (!WriteBytes(source, 0, content.data(), content.size())) {
        *error = "cannot write " + source;
        return 0;
    }
    ToolRun copied = RunTool({"ntfscp", "-q", "-f", path, source, name});
    unlink(source.c_str());
    if (copied.status != 0) {
        *error = "ntfscp " + name + " failed: " + copied.err;
        return 0;
    }
    return 1;
}
