#include "xml/NodeArena.h"

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define TERN_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TERN_ASAN 1
#endif
#endif
#ifdef TERN_ASAN
#include <sanitizer/asan_interface.h>
// A released element stays poisoned until its place is handed out again, so
// that a use after delete is still caught inside a block.
#define TERN_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define TERN_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define TERN_POISON(p, n) ((void)(p), (void)(n))
#define TERN_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace tern {

namespace {

constexpr std::size_t kAlign = alignof(std::max_align_t);

constexpr std::size_t roundUp(std::size_t n) { return (n + kAlign - 1) & ~(kAlign - 1); }

// In front of every element: where it came from and how much it took.
struct Header {
    void* block;  // the arena block, or null for the heap
    std::size_t bytes;
};
constexpr std::size_t kHeaderBytes = roundUp(sizeof(Header));

Header* headerOf(void* object) {
    return reinterpret_cast<Header*>(static_cast<unsigned char*>(object) - kHeaderBytes);
}

}  // namespace

unsigned char* NodeArena::Block::data() { return reinterpret_cast<unsigned char*>(this) + roundUp(sizeof(Block)); }

NodeArena::~NodeArena() {
    if (block_) unref(block_);
}

void NodeArena::unref(Block* b) noexcept {
    if (b->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    TERN_UNPOISON(b->data(), b->capacity);
    b->~Block();
    ::operator delete(b);
}

void* NodeArena::allocate(std::size_t size) {
    const std::size_t need = kHeaderBytes + roundUp(size);
    // Every element cut from this block is gone: start over at its front.
    if (block_ && block_->refs.load(std::memory_order_acquire) == 1) block_->used = 0;
    if (!block_ || block_->capacity - block_->used < need) {
        const std::size_t usable = kBlockBytes - roundUp(sizeof(Block));
        const std::size_t capacity = need > usable ? need : usable;
        Block* fresh = new (::operator new(roundUp(sizeof(Block)) + capacity)) Block(capacity);
        if (block_) unref(block_);
        block_ = fresh;
    }
    unsigned char* at = block_->data() + block_->used;
    block_->used += need;
    TERN_UNPOISON(at, need);
    block_->refs.fetch_add(1, std::memory_order_relaxed);
    *reinterpret_cast<Header*>(at) = Header{block_, need};
    return at + kHeaderBytes;
}

bool NodeArena::inCurrentBlock(const void* object) const {
    return block_ && headerOf(const_cast<void*>(object))->block == block_;
}

void* NodeArena::allocateOnHeap(std::size_t size) {
    const std::size_t need = kHeaderBytes + size;
    unsigned char* at = static_cast<unsigned char*>(::operator new(need));
    *reinterpret_cast<Header*>(at) = Header{nullptr, need};
    return at + kHeaderBytes;
}

void NodeArena::release(void* object) noexcept {
    if (!object) return;
    Header* h = headerOf(object);
    Block* b = static_cast<Block*>(h->block);
    if (!b) {
        ::operator delete(h);
        return;
    }
    TERN_POISON(h, h->bytes);
    unref(b);
}

}  // namespace tern
