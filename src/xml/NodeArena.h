// Blocks from which the stream parser allocates the elements it builds.
//
// A stanza's elements are made one after another and mostly die together,
// so they are cut from one block instead of a heap allocation each. Every
// element can still be deleted on its own, in any order, on any thread, and
// may outlive the parser: a block counts the elements cut from it and goes
// back to the heap with the last of them. While the parser still holds a
// block whose elements are all gone, it cuts the next ones from its start
// again, so a steady stream reuses one block.
//
// Elements made with plain `new XmlTag(...)` come from the heap; the same
// `delete` releases both kinds (see XmlTag's operator new and delete).
#ifndef TERN_XML_NODEARENA_H
#define TERN_XML_NODEARENA_H

#include <atomic>
#include <cstddef>

namespace tern {

class NodeArena {
public:
    NodeArena() = default;
    // Lets go of the current block; it is freed once its last element is.
    ~NodeArena();

    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;

    // Memory for one element of the given size. Only the owning thread
    // allocates; releases may come from anywhere.
    void* allocate(std::size_t size);

    // Heap memory with the same header, for elements made outside a parser.
    static void* allocateOnHeap(std::size_t size);
    // Releases memory from either allocate function.
    static void release(void* object) noexcept;

    // Whether object was cut from the block this arena cuts from now (an
    // element kept for reuse elsewhere would keep an older block alive).
    bool inCurrentBlock(const void* object) const;
    const void* currentBlock() const { return block_; }

    // Bytes in a block, header included; an element larger than that gets a
    // block of its own.
    static constexpr std::size_t kBlockBytes = 4096;

private:
    struct Block {
        std::atomic<std::size_t> refs;  // elements alive, plus one while the arena cuts from it
        std::size_t used = 0;           // touched by the owning thread only
        std::size_t capacity = 0;
        explicit Block(std::size_t c) : refs(1), capacity(c) {}
        unsigned char* data();
    };
    static void unref(Block* b) noexcept;

    Block* block_ = nullptr;
};

}  // namespace tern

#endif
