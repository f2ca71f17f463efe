// The NBD image store: qemu-nbd, started here through socket activation (a
// listening socket as fd 3, LISTEN_FDS and LISTEN_PID), serves the image
// descriptor it inherits over a Unix socket only we are connected to: no
// kernel module, no root, no mount. qemu-nbd takes QEMU's image locks itself, so it refuses an image a
// running VM holds, and holds it against VMs while we run.
//
// A write-zeroes over qcow2 clusters that were never allocated still makes
// QEMU allocate L2 tables to mark them zero: the image grows for nothing.
// So each request is first asked about ("base:allocation" block status),
// and only its parts that are not holes reading as zeros are sent.
#include <errno.h>
#include <fcntl.h>
#include <libnbd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "image_stores.h"
#include "landlock_wall.h"

namespace {

enum {
    // qcow2 clusters go up to 2 MiB; every smaller power of two divides it.
    kTrimAlignment = 2 << 20,
    kLargestRead = 32 << 20,  // what qemu-nbd serves in one request
    kMostStatusRuns = 64,     // kept from one block-status reply
    kMostStatusAsks = 4096,   // per request; the rest is sent unasked
    kMostAllocationAsks = 1 << 20,  // for a whole disk; past it, "unknown"
    // qemu-nbd's descriptors: socket activation's listening socket is 3;
    // the image comes right after it.
    kListenFd = 3,
    kImageFd = 4,
};

struct NbdImageStore {
    ImageStore store;  // first, so the store is the record
    struct nbd_handle *nbd;
    int zeroes;  // write zeroes that may trim, or plain trims
    int asks;    // the server answers "base:allocation" block status
    int failed;  // a held-back request failed
    TrimJoiner joiner;
    int64_t releaseUnit;  // the image's clusters; 0: unknown
    pid_t server;  // qemu-nbd, ours to wait for; -1 before it is started
};

int SendAll(NbdImageStore *nbd, int64_t start, int64_t size) {
    if (size == 0) return 1;
    int sent = nbd->zeroes ? nbd_zero(nbd->nbd, (uint64_t)size, (uint64_t)start, 0)
                           : nbd_trim(nbd->nbd, (uint64_t)size, (uint64_t)start, 0);
    if (sent != 0) nbd->failed = 1;
    return sent == 0;
}

// What one block-status reply says about [start, end): runs that alternate
// between holes reading as zeros (skip) and the rest, from `start` on.
struct StatusRuns {
    int64_t start, end;
    int answered;
    int count;
    int holes;  // skip marks what holds no data (a hole), not a hole of zeros alone
    int64_t runEnd[kMostStatusRuns];
    int skip[kMostStatusRuns];
};

int TakeStatus(void *data, const char *context, uint64_t offset, uint32_t *entries, size_t entryCount, int *) {
    StatusRuns *runs = (StatusRuns *)data;
    // A server may answer more than once: only the first answer counts.
    if (strcmp(context, LIBNBD_CONTEXT_BASE_ALLOCATION) != 0 || runs->answered) return 0;
    runs->answered = 1;
    if ((int64_t)offset != runs->start) return 0;
    int64_t at = runs->start;
    for (size_t i = 0; i + 1 < entryCount && at < runs->end; i += 2) {
        if (entries[i] == 0) break;
        int64_t end = at + entries[i] < runs->end ? at + entries[i] : runs->end;
        const uint32_t holeOfZeros = LIBNBD_STATE_HOLE | LIBNBD_STATE_ZERO;
        const uint32_t skipped = runs->holes ? (uint32_t)LIBNBD_STATE_HOLE : holeOfZeros;
        int skip = (entries[i + 1] & skipped) == skipped;
        if (runs->count > 0 && runs->skip[runs->count - 1] == skip) {
            runs->runEnd[runs->count - 1] = end;
        } else if (runs->count < kMostStatusRuns) {
            runs->runEnd[runs->count] = end;
            runs->skip[runs->count++] = skip;
        } else {
            break;
        }
        at = end;
    }
    return 0;
}

// Sends the parts of [start, start + size) that are not holes reading as
// zeros, each contiguous part as one request. Only what the server calls a
// hole of zeros is left out: a failed or unclear answer sends the rest as
// it is. The parts end where the server's extents do, at the image's own
// cluster boundaries, so no cluster is split between two requests.
int Send(NbdImageStore *nbd, int64_t start, int64_t size) {
    if (size == 0 || !nbd->asks) return SendAll(nbd, start, size);
    const int64_t end = start + size;
    int64_t at = start, pending = start;  // [pending, at) waits to be sent
    int sent = 1;
    for (int asks = 0; at < end && asks < kMostStatusAsks; asks++) {
        StatusRuns runs;
        memset(&runs, 0, sizeof runs);
        runs.start = at;
        runs.end = end;
        nbd_extent_callback callback = {TakeStatus, &runs, 0};
        if (nbd_block_status(nbd->nbd, (uint64_t)(end - at), (uint64_t)at, callback, 0) != 0 || runs.count == 0) break;
        for (int i = 0; i < runs.count; i++) {
            if (runs.skip[i]) {
                sent = SendAll(nbd, pending, at - pending) && sent;
                pending = runs.runEnd[i];
            }
            at = runs.runEnd[i];
        }
    }
    return SendAll(nbd, pending, end - pending) && sent;
}

// What base:allocation calls data in [start, end), or -1 when the server
// cannot say: bounded asks, each moving past at least one extent.
int64_t DataBetween(NbdImageStore *nbd, int64_t start, int64_t end) {
    int64_t data = 0;
    for (int64_t at = start, asks = 0; at < end; asks++) {
        if (asks >= kMostStatusAsks) return -1;
        StatusRuns runs;
        memset(&runs, 0, sizeof runs);
        runs.start = at;
        runs.end = end;
        runs.holes = 1;
        nbd_extent_callback callback = {TakeStatus, &runs, 0};
        if (nbd_block_status(nbd->nbd, (uint64_t)(end - at), (uint64_t)at, callback, 0) != 0 || runs.count == 0) return -1;
        for (int i = 0; i < runs.count; i++) {
            if (!runs.skip[i]) data += runs.runEnd[i] - at;
            at = runs.runEnd[i];
        }
    }
    return data;
}

// A write-zeroes that may trim frees the whole clusters it covers that
// hold data; the rest of it is written as zeros in place.
int64_t NbdReleased(ImageStore *store, int64_t position, int64_t size) {
    NbdImageStore *nbd = (NbdImageStore *)store;
    const int64_t unit = nbd->releaseUnit;
    if (unit <= 0 || !nbd->asks) return -1;
    const int64_t start = (position + unit - 1) / unit * unit, end = (position + size) / unit * unit;
    return end > start ? DataBetween(nbd, start, end) : 0;
}

// Reads (or, with `write`, writes) `size` bytes at `position` of the
// disk, in pieces a request may carry. 1 when all of them went.
int NbdTransfer(ImageStore *store, int64_t position, uint8_t *bytes, uint32_t size, int write) {
    NbdImageStore *nbd = (NbdImageStore *)store;
    if (position < 0 || position > store->size || size > store->size - position) return 0;
    for (uint32_t done = 0; done < size;) {
        uint32_t piece = size - done < (uint32_t)kLargestRead ? size - done : (uint32_t)kLargestRead;
        const uint64_t at = (uint64_t)(position + done);
        if ((write ? nbd_pwrite(nbd->nbd, bytes + done, piece, at, 0) : nbd_pread(nbd->nbd, bytes + done, piece, at, 0)) != 0) {
            return 0;
        }
        done += piece;
    }
    return 1;
}

int NbdRead(ImageStore *store, int64_t position, void *buffer, uint32_t size) {
    return NbdTransfer(store, position, (uint8_t *)buffer, size, 0);
}

// The part that ends between two cut points waits for the next range: if
// it continues this one, the cluster it shares is released whole.
int NbdTrim(ImageStore *store, int64_t position, int64_t size) {
    NbdImageStore *nbd = (NbdImageStore *)store;
    int64_t flushedStart, flushedSize, sendStart, sendSize;
    JoinTrim(&nbd->joiner, position, size, &flushedStart, &flushedSize, &sendStart, &sendSize);
    int flushed = Send(nbd, flushedStart, flushedSize);
    return Send(nbd, sendStart, sendSize) && flushed && !nbd->failed;
}

int NbdFinish(ImageStore *store) {
    NbdImageStore *nbd = (NbdImageStore *)store;
    int64_t start, size;
    FlushTrim(&nbd->joiner, &start, &size);
    Send(nbd, start, size);
    return nbd_flush(nbd->nbd, 0) == 0 && !nbd->failed;
}

// Waits for qemu-nbd to end, so that the image is whole and unlocked: it
// ends by itself once its one client has gone.
void NbdRelease(ImageStore *store) {
    NbdImageStore *nbd = (NbdImageStore *)store;
    nbd_shutdown(nbd->nbd, 0);
    nbd_close(nbd->nbd);
    while (nbd->server > 0 && waitpid(nbd->server, 0, 0) < 0 && errno == EINTR) {
    }
    free(nbd);
}

}  // namespace

namespace {

// A listening socket with one connection already queued on it, and no
// name left anywhere: the socket file is made in a private folder and
// both are removed once we are connected, so nothing else can reach
// qemu-nbd and nothing of the run stays behind for the wall to allow.
int ListenWithOneConnection(int *listening, int *connected, char *reason, uint32_t reasonSize) {
    *listening = *connected = -1;
    const char *tmp = getenv("TMPDIR");
    char folder[256];
    snprintf(folder, sizeof folder, "%s/quillet-nbd-XXXXXX", tmp != 0 && tmp[0] == '/' ? tmp : "/tmp");
    if (mkdtemp(folder) == 0) {
        snprintf(reason, reasonSize, "no private folder for the NBD socket: %s", strerror(errno));
        return 0;
    }
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    int fits = snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", folder) < (int)sizeof address.sun_path;
    *listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    *connected = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int ready = fits && *listening >= 0 && *connected >= 0 &&
                bind(*listening, (struct sockaddr *)&address, sizeof address) == 0 && listen(*listening, 1) == 0 &&
                connect(*connected, (struct sockaddr *)&address, sizeof address) == 0;
    if (!ready) snprintf(reason, reasonSize, "no NBD socket: %s", strerror(errno));
    unlink(address.sun_path);
    rmdir(folder);
    if (!ready) {
        if (*listening >= 0) close(*listening);
        if (*connected >= 0) close(*connected);
        *listening = *connected = -1;
    }
    return ready;
}

// In the child: the listening socket becomes fd 3 (socket activation) and
// the image fd kImageFd, neither closed on exec; then the wall, then
// qemu-nbd. Never returns.
void RunQemuNbd(int listening, int imageFd, int wallRuleset, char **argv) {
    // Each above the two places first, so that none is overwritten by another.
    int socketCopy = fcntl(listening, F_DUPFD_CLOEXEC, 10);
    int imageCopy = fcntl(imageFd, F_DUPFD_CLOEXEC, 10);
    int wallCopy = wallRuleset >= 0 ? fcntl(wallRuleset, F_DUPFD_CLOEXEC, 10) : -1;
    if (socketCopy < 0 || imageCopy < 0 || (wallRuleset >= 0 && wallCopy < 0) || dup2(socketCopy, kListenFd) < 0 ||
        dup2(imageCopy, kImageFd) < 0) {
        _exit(126);
    }
    char pid[32];
    snprintf(pid, sizeof pid, "%d", (int)getpid());
    setenv("LISTEN_PID", pid, 1);
    setenv("LISTEN_FDS", "1", 1);
    unsetenv("LISTEN_FDNAMES");
    if (wallCopy >= 0 && !EnterWall(wallCopy)) _exit(126);
    execvp(argv[0], argv);
    _exit(127);
}

// A store with no connection yet; null with the reason.
NbdImageStore *NewNbdStore(char *reason, uint32_t reasonSize) {
    NbdImageStore *nbd = (NbdImageStore *)calloc(1, sizeof(NbdImageStore));
    if (nbd == 0 || (nbd->nbd = nbd_create()) == 0) {
        snprintf(reason, reasonSize, "no memory for the NBD connection");
        free(nbd);
        return 0;
    }
    nbd->server = -1;
    return nbd;
}

// The store's reads and trims through its connection, as the server
// offers them: its size, whether it tells allocation, trims joined.
void ServeThroughNbd(NbdImageStore *nbd) {
    nbd->store.read = NbdRead;
    nbd->store.trim = NbdTrim;
    nbd->store.finish = NbdFinish;
    nbd->store.release = NbdRelease;
    nbd->store.size = nbd_get_size(nbd->nbd);
    nbd->asks = nbd_can_meta_context(nbd->nbd, LIBNBD_CONTEXT_BASE_ALLOCATION) == 1;
    nbd->joiner.alignment = kTrimAlignment;
}

}  // namespace

ImageStore *OpenNbdImageStore(int imageFd, int format, int writable, int wallRuleset, char *reason,
                              uint32_t reasonSize) {
    NbdImageStore *nbd = NewNbdStore(reason, reasonSize);
    if (nbd == 0) return 0;
    // Asked for before connecting; a server without it gets every request whole.
    nbd_add_meta_context(nbd->nbd, LIBNBD_CONTEXT_BASE_ALLOCATION);
    // qemu-nbd gets the descriptor we opened and checked, never a name: the
    // driver is named (no guess from the contents), the file is ours through
    // /proc/self/fd, and no backing file is opened whatever the header says.
    // --discard=unmap: qemu-nbd ignores trims otherwise.
    char image[192];
    snprintf(image, sizeof image,
             "json:{\"driver\":\"%s\",\"file\":{\"driver\":\"file\",\"filename\":\"/proc/self/fd/%d\"},\"backing\":null}",
             ImageFormatName(format), kImageFd);
    char *argv[] = {(char *)"qemu-nbd", (char *)"--discard=unmap", (char *)"--cache=none", image, 0, 0};
    if (!writable) {
        argv[3] = (char *)"--read-only";
        argv[4] = image;
    }
    int listening, connected;
    if (!ListenWithOneConnection(&listening, &connected, reason, reasonSize)) {
        NbdRelease(&nbd->store);
        return 0;
    }
    fflush(0);
    nbd->server = fork();
    if (nbd->server == 0) RunQemuNbd(listening, imageFd, wallRuleset, argv);
    close(listening);
    if (nbd->server < 0 || nbd_connect_socket(nbd->nbd, connected) != 0) {
        snprintf(reason, reasonSize, "qemu-nbd does not serve the image: %s",
                 nbd->server < 0 ? strerror(errno) : nbd_get_error());
        if (nbd->server < 0) close(connected);
        NbdRelease(&nbd->store);
        return 0;
    }
    ServeThroughNbd(nbd);
    nbd->store.released = NbdReleased;
    // Only qcow2 gives clusters back for write-zeroes that may trim and
    // reads them back as zeros; for the formats whose QEMU driver cannot
    // release space, write-zeroes would fill free space with allocated
    // zeros, so those get plain trims, which QEMU drops there.
    nbd->zeroes = format == kFormatQcow2 && nbd_can_zero(nbd->nbd) == 1;
    if (nbd->store.size < 0 || (writable && (nbd_is_read_only(nbd->nbd) != 0 || (!nbd->zeroes && nbd_can_trim(nbd->nbd) != 1)))) {
        snprintf(reason, reasonSize, "qemu-nbd serves the image without its size or without trims");
        NbdRelease(&nbd->store);
        return 0;
    }
    return &nbd->store;
}

namespace {

// The bytes the server's "base:allocation" reply calls allocated (not a
// hole), from `at` up to where the reply ends; how far it reached.
struct AllocationWalk {
    int64_t at, end;
    int64_t allocated;
    int answered;
};

int TakeAllocation(void *data, const char *context, uint64_t offset, uint32_t *entries, size_t entryCount, int *) {
    AllocationWalk *walk = (AllocationWalk *)data;
    if (strcmp(context, LIBNBD_CONTEXT_BASE_ALLOCATION) != 0 || walk->answered || (int64_t)offset != walk->at) return 0;
    walk->answered = 1;
    int64_t at = walk->at;
    for (size_t i = 0; i + 1 < entryCount && at < walk->end; i += 2) {
        if (entries[i] == 0) break;
        int64_t end = at + entries[i] < walk->end ? at + entries[i] : walk->end;
        if ((entries[i + 1] & LIBNBD_STATE_HOLE) == 0) walk->allocated += end - at;
        at = end;
    }
    walk->at = at;
    return 0;
}

}  // namespace

ImageStore *OpenNbdUriStore(const char *uri, int writable, int *refusedForCapability, char *reason,
                            uint32_t reasonSize) {
    *refusedForCapability = 0;
    NbdImageStore *nbd = NewNbdStore(reason, reasonSize);
    if (nbd == 0) return 0;
    // A URI connects and does nothing else: no file of ours is read for it
    // (TLS keys), no command is run, no other transport is tried.
    if (nbd_set_uri_allow_local_file(nbd->nbd, false) != 0 ||
        nbd_set_uri_allow_transports(nbd->nbd, LIBNBD_ALLOW_TRANSPORT_TCP | LIBNBD_ALLOW_TRANSPORT_UNIX) != 0 ||
        nbd_set_uri_allow_tls(nbd->nbd, LIBNBD_TLS_DISABLE) != 0 || nbd_set_tls(nbd->nbd, LIBNBD_TLS_DISABLE) != 0 ||
        nbd_add_meta_context(nbd->nbd, LIBNBD_CONTEXT_BASE_ALLOCATION) != 0 || nbd_connect_uri(nbd->nbd, uri) != 0) {
        snprintf(reason, reasonSize, "cannot connect to the NBD server: %s", nbd_get_error());
        NbdRelease(&nbd->store);
        return 0;
    }
    ServeThroughNbd(nbd);
    // Plain trims: a write-zeroes that the server cannot turn into a
    // release would fill the free space with allocated zeros.
    nbd->zeroes = 0;
    const char *lacks = nbd->store.size < 0 ? "serves the export without its size"
                        : !writable         ? 0
                        : nbd_is_read_only(nbd->nbd) != 0 ? "serves the export read-only"
                        : nbd_can_trim(nbd->nbd) != 1     ? "offers no trim (it does not take NBD_CMD_TRIM)"
                                                          : 0;
    if (lacks != 0) {
        snprintf(reason, reasonSize, "the NBD server %s", lacks);
        *refusedForCapability = nbd->store.size >= 0;
        NbdRelease(&nbd->store);
        return 0;
    }
    return &nbd->store;
}

int64_t NbdAllocatedBytes(ImageStore *store) {
    NbdImageStore *nbd = (NbdImageStore *)store;
    if (!nbd->asks) return -1;
    AllocationWalk walk = {0, store->size, 0, 0};
    for (int asks = 0; walk.at < walk.end; asks++) {
        const int64_t from = walk.at;
        walk.answered = 0;
        nbd_extent_callback callback = {TakeAllocation, &walk, 0};
        // Asked in pieces a 32-bit length holds; a reply that does not move
        // on, or a server that answers in too many pieces, leaves it unknown.
        const int64_t piece = walk.end - from < ((int64_t)1 << 30) ? walk.end - from : ((int64_t)1 << 30);
        if (asks >= kMostAllocationAsks || nbd_block_status(nbd->nbd, (uint64_t)piece, (uint64_t)from, callback, 0) != 0 ||
            walk.at <= from) {
            return -1;
        }
    }
    return walk.allocated;
}

void SetNbdReleaseUnit(ImageStore *store, int64_t clusterBytes) { ((NbdImageStore *)store)->releaseUnit = clusterBytes; }

int WriteNbdImageStore(ImageStore *store, int64_t position, const void *buffer, uint32_t size) {
    return NbdTransfer(store, position, (uint8_t *)buffer, size, 1);
}
