#include "port/received_chunks.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qlr::port {

std::unique_ptr<ReceivedChunk> ReceivedChunk::Make(const unsigned char* data, DWORD size,
                                                   uint64_t stampUs) {
    std::unique_ptr<ReceivedChunk> chunk(new (std::nothrow) ReceivedChunk);
    if (!chunk) return nullptr;
    chunk->stampUs = stampUs;
    if (size) {
        chunk->bytes.reset(new (std::nothrow) unsigned char[size]);
        if (!chunk->bytes) return nullptr;
        std::memcpy(chunk->bytes.get(), data, size);
        chunk->size = size;
    }
    return chunk;
}

ChunkQueue::~ChunkQueue() { TakeAll(); }

bool ChunkQueue::Push(std::unique_ptr<ReceivedChunk> chunk) {
    ReceivedChunk* node = chunk.release();
    ReceivedChunk* head = head_.load();
    do {
        node->next = head;
    } while (!head_.compare_exchange_weak(head, node));
    return head == nullptr;
}

std::vector<std::unique_ptr<ReceivedChunk>> ChunkQueue::TakeAll() {
    std::vector<std::unique_ptr<ReceivedChunk>> taken;
    for (ReceivedChunk* node = head_.exchange(nullptr); node;) {
        ReceivedChunk* next = node->next;
        node->next = nullptr;
        taken.emplace_back(node);
        node = next;
    }
    std::reverse(taken.begin(), taken.end());
    return taken;
}

}  // namespace qlr::port
