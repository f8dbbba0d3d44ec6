// Received bytes on their way from the watch thread to the host's thread, for
// framing: each chunk is what one read took, stamped with the time of the
// read; a chunk without bytes says that the line was found silent. A
// lock-free list: the watch thread pushes, the host's thread takes all.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qlr::port {

struct ReceivedChunk {
    ReceivedChunk* next = nullptr;
    uint64_t stampUs = 0;
    DWORD size = 0;  // 0: the line was silent at stampUs
    std::unique_ptr<unsigned char[]> bytes;

    // Null when memory is short.
    static std::unique_ptr<ReceivedChunk> Make(const unsigned char* data, DWORD size,
                                               uint64_t stampUs);
};

class ChunkQueue {
public:
    ChunkQueue() = default;
    ~ChunkQueue();
    ChunkQueue(const ChunkQueue&) = delete;
    ChunkQueue& operator=(const ChunkQueue&) = delete;

    // True when the queue was empty: the host's thread has to be told.
    bool Push(std::unique_ptr<ReceivedChunk> chunk);
    // Everything queued, oldest first.
    std::vector<std::unique_ptr<ReceivedChunk>> TakeAll();

private:
    std::atomic<ReceivedChunk*> head_{nullptr};  // newest first
};

}  // namespace qlr::port
