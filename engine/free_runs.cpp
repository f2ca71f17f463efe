#include "free_runs.h"

enum {
    kBatchEdges = 256,  // edges gathered before their runs are visited
    kWordBits = 64,
};

// 64 clusters at once: targets are little-endian, so bit k of word w is
// cluster 64w + k.
static inline uint64_t LoadWord(const uint8_t *bytes) {
    uint64_t word;
    __builtin_memcpy(&word, bytes, 8);
    return word;
}

// The last, partial word, padded with used clusters: they end a run that
// reaches the end of the bitmap exactly there.
static uint64_t LoadLastWord(const uint8_t *bytes, uint32_t count) {
    uint64_t word = ~(uint64_t)0;
    for (uint32_t i = 0; i < count; i++) {
        word &= ~((uint64_t)0xFF << (8 * i));
        word |= (uint64_t)bytes[i] << (8 * i);
    }
    return word;
}

static inline int VisitRun(uint64_t start, uint64_t end, uint32_t minRunClusters, FreeRunVisitor visitor,
                           void *context) {
    return end - start < minRunClusters || visitor(context, (uint32_t)start, (uint32_t)(end - start));
}

// Edges alternate: a run starts at every even one and ends at the next.
static int VisitRuns(const uint64_t *edges, uint32_t count, uint32_t minRunClusters,
                     FreeRunVisitor visitor, void *context) {
    for (uint32_t i = 0; i + 1 < count; i += 2) {
        if (!VisitRun(edges[i], edges[i + 1], minRunClusters, visitor, context)) return 0;
    }
    return 1;
}

// An edge is a cluster that differs from the one before it: a free one
// starts a run, a used one ends it. Before cluster 0 all counts as used,
// so the edges alternate start, end, start... over the whole bitmap, and an
// odd number so far means a run is open. Most words hold no edge and cost
// one compare; the edges of the others are gathered in a list and paired
// later, which keeps the branches few on a fragmented bitmap. Words with
// more than four edges have their runs visited on the spot instead.
int ScanFreeRuns(const uint8_t *bitmap, uint32_t byteCount, uint32_t minRunClusters,
                 FreeRunVisitor visitor, void *context) {
    const uint64_t fullWords = byteCount / 8;
    const uint64_t wordCount = (byteCount + (uint64_t)7) / 8;
    uint64_t edges[kBatchEdges + 4];
    uint32_t count = 0;
    uint64_t w = 0;
    for (;;) {
        // Like the cluster before it: all used outside a run, all free inside one.
        const uint64_t same = count % 2 != 0 ? 0 : ~(uint64_t)0;
        while (w < fullWords && LoadWord(bitmap + 8 * w) == same) w++;
        if (w == wordCount) break;
        const uint64_t word = w < fullWords ? LoadWord(bitmap + 8 * w) : LoadLastWord(bitmap + 8 * w, byteCount % 8);
        uint64_t edgeBits = word ^ ((word << 1) | (same & 1));
        const uint64_t base = w * kWordBits;
        w++;

        // Four positions without asking how many there are; slots past the
        // last edge are overwritten later. The top bit keeps ctz defined.
        uint64_t *out = edges + count;
        for (int k = 0; k < 4; k++) {
            out[k] = base + (uint64_t)__builtin_ctzll(edgeBits | ((uint64_t)1 << 63));
            count += edgeBits != 0;
            edgeBits &= edgeBits - 1;
        }
        if (edgeBits == 0) {
            if (count >= kBatchEdges) {
                if (!VisitRuns(edges, count, minRunClusters, visitor, context)) return 0;
                if (count % 2 != 0) edges[0] = edges[count - 1];
                count %= 2;
            }
            continue;
        }

        // A dense word: the runs listed so far, then the rest of this word
        // start and end in pairs.
        if (!VisitRuns(edges, count, minRunClusters, visitor, context)) return 0;
        uint64_t starts = edgeBits & ~word;
        uint64_t ends = edgeBits & word;
        if (count % 2 != 0) {
            const uint64_t end = base + (uint64_t)__builtin_ctzll(ends);
            ends &= ends - 1;
            if (!VisitRun(edges[count - 1], end, minRunClusters, visitor, context)) return 0;
        }
        count = 0;
        while (starts != 0) {
            const uint64_t start = base + (uint64_t)__builtin_ctzll(starts);
            starts &= starts - 1;
            if (ends == 0) {  // goes on into the next word
                edges[count++] = start;
                break;
            }
            const uint64_t end = base + (uint64_t)__builtin_ctzll(ends);
            ends &= ends - 1;
            if (!VisitRun(start, end, minRunClusters, visitor, context)) return 0;
        }
    }
    // A run that reaches the end of a bitmap of whole words ends there.
    if (count % 2 != 0) edges[count++] = (uint64_t)byteCount * 8;
    return VisitRuns(edges, count, minRunClusters, visitor, context);
}
