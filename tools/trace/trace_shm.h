// The memory that qlrshm32.dll and the trace viewer share: a named section
// holding a ring of trace records.
//
// Writers (every process whose control traces, through SetSharedMem) reserve
// a sequence number with one interlocked increment, fill the slot that the
// number selects and then publish it by storing the number in the slot's
// commit word. Readers (the viewer, when told of a new record) take every
// record between the last one they saw and the newest reserved number; a slot
// whose commit word is not the awaited number is either still being written
// (the reader stops and resumes at the next notification) or already reused
// (the record is counted as lost). No lock is taken, so a hung or killed
// process can never stop the others.
//
// Only fixed-width fields: 32-bit and 64-bit processes share the section.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace qlr::trace_shm {

constexpr char kSectionName[] = "QLRTRACE.SharedMemory.1";
constexpr uint32_t kSlotCount = 64;
// Send and receive capacities are 16-bit sizes plus the two bytes of a line
// end; larger records keep their first kSlotBytes bytes.
constexpr uint32_t kSlotBytes = 32 * 1024 + 256;

constexpr int32_t kDirectionSent = 115;      // 's'
constexpr int32_t kDirectionReceived = 114;  // 'r'

struct Slot {
    volatile LONG commit;  // the record's sequence number once complete, 0 while written
    int32_t direction;
    int32_t length;   // as passed by the control
    uint32_t stored;  // bytes kept in data (at most kSlotBytes)
    uint32_t processId;
    uint32_t reserved;
    uint8_t data[kSlotBytes];
};

struct Section {
    volatile LONG next;  // sequence number of the newest reserved record (first: 1)
    uint32_t reserved[15];
    Slot slots[kSlotCount];
};

constexpr DWORD kSectionSize = static_cast<DWORD>(sizeof(Section));

inline LONG LoadAcquire(const volatile LONG* p) {
    LONG v = *p;
    MemoryBarrier();
    return v;
}

inline Slot& SlotOf(Section& s, LONG sequence) {
    return s.slots[static_cast<uint32_t>(sequence) % kSlotCount];
}

// The section, created by whichever process comes first, mapped for reading
// and writing; closed with the object.
class Mapping {
public:
    Mapping() {
        mapping_ = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        kSectionSize, kSectionName);
        if (!mapping_) return;
        void* view = ::MapViewOfFile(mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, kSectionSize);
        section_ = static_cast<Section*>(view);
    }
    ~Mapping() {
        if (section_) ::UnmapViewOfFile(section_);
        if (mapping_) ::CloseHandle(mapping_);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    Section* get() const { return section_; }
    explicit operator bool() const { return section_ != nullptr; }

private:
    HANDLE mapping_ = nullptr;
    Section* section_ = nullptr;
};

// Writes one record; returns its sequence number.
inline LONG Publish(Section& s, const unsigned char* data, int32_t length, int32_t direction) {
    LONG sequence = ::InterlockedIncrement(&s.next);
    if (sequence == 0) sequence = ::InterlockedIncrement(&s.next);  // 0 marks a slot in writing
    Slot& slot = SlotOf(s, sequence);
    ::InterlockedExchange(&slot.commit, 0);
    uint32_t stored = 0;
    if (data && length > 0)
        stored =
            static_cast<uint32_t>(length) < kSlotBytes ? static_cast<uint32_t>(length) : kSlotBytes;
    slot.direction = direction;
    slot.length = length;
    slot.stored = stored;
    slot.processId = ::GetCurrentProcessId();
    if (stored) std::memcpy(slot.data, data, stored);
    ::InterlockedExchange(&slot.commit, sequence);
    return sequence;
}

struct Record {
    LONG sequence = 0;
    int32_t direction = 0;
    int32_t length = 0;
    uint32_t processId = 0;
    std::vector<unsigned char> bytes;  // the kept bytes (all of them up to kSlotBytes)
};

// Reads the records that appeared since the last call (or since construction:
// records written before the reader existed are not shown).
class Reader {
public:
    explicit Reader(Section* section) : section_(section) {
        if (section_) last_ = LoadAcquire(&section_->next);
    }
    LONG last() const { return last_; }

    // Appends the new complete records to out; returns how many records were
    // overwritten before they could be read.
    uint32_t Take(std::vector<Record>& out) {
        if (!section_) return 0;
        uint32_t lost = 0;
        const LONG newest = LoadAcquire(&section_->next);
        while (static_cast<LONG>(static_cast<uint32_t>(newest) - static_cast<uint32_t>(last_)) >
               0) {
            LONG sequence = static_cast<LONG>(static_cast<uint32_t>(last_) + 1u);
            if (sequence == 0) {  // skipped by writers
                last_ = sequence;
                continue;
            }
            if (static_cast<uint32_t>(newest) - static_cast<uint32_t>(sequence) >= kSlotCount) {
                ++lost;  // its slot has been reserved again since
                last_ = sequence;
                continue;
            }
            Slot& slot = SlotOf(*section_, sequence);
            LONG commit = LoadAcquire(&slot.commit);
            if (commit == 0) break;  // still being written: take it next time
            if (commit != sequence) {
                ++lost;
                last_ = sequence;
                continue;
            }
            Record r;
            r.sequence = sequence;
            r.direction = slot.direction;
            r.length = slot.length;
            r.processId = slot.processId;
            uint32_t stored = slot.stored <= kSlotBytes ? slot.stored : kSlotBytes;
            r.bytes.assign(slot.data, slot.data + stored);
            MemoryBarrier();
            if (LoadAcquire(&slot.commit) != sequence) {
                ++lost;  // rewritten while copied
            } else {
                out.push_back(std::move(r));
            }
            last_ = sequence;
        }
        return lost;
    }

private:
    Section* section_;
    LONG last_ = 0;
};

}  // namespace qlr::trace_shm
