// The tree itself: compact nodes from one pool per tree, children and properties in
// contiguous lists (properties as name/value records until one is wanted as a node), the
// name index kept by the parent, deep copies and destruction without recursion.
#include "core/UnitXmlDoc.h"

#include "core/UnitLocalUtils.h"
#include "core/UnitXmlText.h"
#include "platform/UnitPlatformMemory.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory_resource>
#include <mutex>
#include <new>
#include <unordered_map>


using namespace UnitXmlDoc;
using namespace UnitXmlText;

// ==================================================================== storage

// Large chunks given back by trees, kept for the next trees of the process, up to
// kLimit bytes. A large tree read after another (a request after a request, a CRL decoded then
// encoded again) then writes on pages it already has instead of having the kernel fault in and
// zero fresh ones, as a heap keeps some of what was freed for later.
class TChunkCache {
public:
    static TChunkCache& Instance()
    {
        // Never destroyed: trees held by other static objects may give chunks back during exit.
        static TChunkCache* cache = new TChunkCache;
        return *cache;
    }

    void* Take(size_t ASize)
    {
        std::lock_guard guard(FLock);
        for (size_t i = FChunks.size(); i-- > 0;)
            if (FChunks[i].Size == ASize) {
                void* chunk = FChunks[i].Chunk;
                FChunks.erase(FChunks.begin() + static_cast<std::ptrdiff_t>(i));
                FBytes -= ASize;
                return chunk;
            }
        return nullptr;
    }

    void Clear()
    {
        std::vector<TEntry> chunks;
        {
            std::lock_guard guard(FLock);
            chunks.swap(FChunks);
            FBytes = 0;
        }
        for (const TEntry& e : chunks)
            std::free(e.Chunk);
    }

    // Keeps the chunk, or frees it when the cache is full.
    void Put(void* AChunk, size_t ASize)
    {
        {
            std::lock_guard guard(FLock);
            if (FBytes + ASize <= kLimit) {
                FChunks.push_back({AChunk, ASize});
                FBytes += ASize;
                return;
            }
        }
        std::free(AChunk);
    }

private:
    struct TEntry {
        void* Chunk;
        size_t Size;
    };

    static constexpr size_t kLimit = size_t{256} << 20;

    std::mutex FLock;
    std::vector<TEntry> FChunks;
    size_t FBytes = 0;
};

// The pool of one tree: every node below the root, its lists and properties come from it,
// and it is released at once when the root goes. Nodes and the other small blocks (up to
// kSmallMax bytes) are carved from chunks, in two streams, and kept on a free list per size
// when given back; the chunks grow from a few KiB (most trees are small) to kMaxChunk, and
// the big ones are offered to the kernel for huge pages, so a large tree takes one page fault
// per 2 MiB rather than per 4 KiB. Larger blocks (long child lists) are allocations of their
// own, freed when given back. Nodes have chunks of their own so that releasing the pool can
// visit them in the order of the storage instead of following the tree.
class TXmlArena final : public std::pmr::memory_resource {
public:
    static constexpr size_t kGrain = alignof(std::max_align_t);
    static constexpr size_t kNodeBlock = (sizeof(TXmlDoc) + kGrain - 1) / kGrain * kGrain;

    TXmlArena() = default;
    ~TXmlArena() override { Release(); }
    TXmlArena(const TXmlArena&) = delete;
    TXmlArena& operator=(const TXmlArena&) = delete;

    void* AllocateNode()
    {
        if (TFree* block = FNodeFree) {
            FNodeFree = block->Next;
            return block;
        }
        return FNodes.Take(kNodeBlock);
    }

    void DeallocateNode(void* APointer)
    {
        auto* block = static_cast<TFree*>(APointer);
        block->Next = FNodeFree;
        FNodeFree = block;
    }

    // Calls AVisit with every node block taken and not given back, in the order of the storage.
    template <class F>
    void ForEachNode(F&& AVisit)
    {
        std::vector<char*> given;
        for (TFree* f = FNodeFree; f; f = f->Next)
            given.push_back(reinterpret_cast<char*>(f));
        std::sort(given.begin(), given.end());
        for (TChunk* c = FNodes.Chunks; c; c = c->Next) {
            char* at = reinterpret_cast<char*>(c + 1);
            char* const end = c == FNodes.Chunks ? FNodes.Next : c->Used;
            auto next = std::lower_bound(given.begin(), given.end(), at);
            for (; at + kNodeBlock <= end; at += kNodeBlock) {
                if (next != given.end() && *next == at) {
                    ++next;
                    continue;
                }
                AVisit(at);
            }
        }
    }

    void* Allocate(size_t ABytes)
    {
        if (ABytes > kSmallMax)
            return AllocateLarge(ABytes);
        const size_t size = ClassOf(ABytes);
        if (TFree* block = FFree[size]) {
            FFree[size] = block->Next;
            return block;
        }
        return FBlocks.Take((size + 1) * kGrain);
    }

    void Deallocate(void* APointer, size_t ABytes)
    {
        if (ABytes > kSmallMax) {
            FreeLarge(APointer);
            return;
        }
        auto* block = static_cast<TFree*>(APointer);
        const size_t size = ClassOf(ABytes);
        block->Next = FFree[size];
        FFree[size] = block;
    }

    // Gives back every block at once.
    void Release()
    {
        FNodes.Release();
        FBlocks.Release();
        while (FLarge) {
            TLink* next = FLarge->Next;
            std::free(FLarge);
            FLarge = next;
        }
        std::fill(std::begin(FFree), std::end(FFree), nullptr);
        FNodeFree = nullptr;
    }

private:
    static constexpr size_t kSmallMax = 512;
    // A tree of a few nodes (most requests and settings) takes two small chunks.
    static constexpr size_t kFirstNodeChunk = 1024;
    static constexpr size_t kFirstBlockChunk = 512;
    static constexpr size_t kMaxChunk = size_t{16} << 20;
    static constexpr size_t kHugePage = UnitPlatformMemory::kHugePage;
    // Chunks from this size on are offered for huge pages and outlive their tree in the
    // chunk cache.
    static constexpr size_t kCachedChunk = 2 * kHugePage;

    struct TFree {
        TFree* Next;
    };
    // Heads a chunk (one grain, so what follows stays aligned): the chunk before, and where
    // its carved part ends once it is no longer the current one.
    struct alignas(std::max_align_t) TChunk {
        TChunk* Next;
        char* Used;
    };
    // Heads a large block.
    struct alignas(std::max_align_t) TLink {
        TLink* Prev;
        TLink* Next;
    };
    static_assert(sizeof(TChunk) == kGrain && sizeof(TLink) == kGrain);

    // Blocks carved one after the other from a list of growing chunks.
    struct TStream {
        explicit TStream(size_t AFirstChunk) : FirstChunk(AFirstChunk), ChunkSize(AFirstChunk) {}
        const size_t FirstChunk;
        char* Next = nullptr;
        char* End = nullptr;
        TChunk* Chunks = nullptr;
        size_t ChunkSize;

        void* Take(size_t ABytes)
        {
            if (static_cast<size_t>(End - Next) < ABytes)
                Grow();
            void* block = Next;
            Next += ABytes;
            return block;
        }

        void Grow()
        {
            const size_t size = ChunkSize;
            // The large ones come from the chunk cache when it has one of the size; those were
            // offered for huge pages already.
            const bool large = size >= kCachedChunk;
            auto* chunk = static_cast<TChunk*>(large ? TChunkCache::Instance().Take(size) : nullptr);
            const bool reused = chunk != nullptr;
            if (!chunk)
                chunk = static_cast<TChunk*>(std::malloc(size));
            if (!chunk)
                throw std::bad_alloc();
            if (Chunks)
                Chunks->Used = Next;
            chunk->Next = Chunks;
            chunk->Used = nullptr;
            Chunks = chunk;
            Next = reinterpret_cast<char*>(chunk + 1);
            End = reinterpret_cast<char*>(chunk) + size;
            if (large && !reused)
                UnitPlatformMemory::AdviseHugePages(Next, static_cast<size_t>(End - Next));
            ChunkSize = std::min(size * 4, kMaxChunk);
        }

        // The chunks grew by a factor of 4 up to kMaxChunk, so the n-th oldest has the size
        // the stream gave it; the list runs from the newest.
        void Release()
        {
            size_t count = 0;
            for (TChunk* c = Chunks; c; c = c->Next)
                ++count;
            while (Chunks) {
                TChunk* next = Chunks->Next;
                const size_t size = SizeOfChunk(--count);
                if (size >= kCachedChunk)
                    TChunkCache::Instance().Put(Chunks, size);
                else
                    std::free(Chunks);
                Chunks = next;
            }
            Next = End = nullptr;
            ChunkSize = FirstChunk;
        }

        size_t SizeOfChunk(size_t AOrder) const
        {
            size_t size = FirstChunk;
            for (size_t i = 0; i < AOrder && size < kMaxChunk; ++i)
                size = std::min(size * 4, kMaxChunk);
            return size;
        }
    };

    static size_t ClassOf(size_t ABytes) { return ABytes ? (ABytes - 1) / kGrain : 0; }

    void* AllocateLarge(size_t ABytes)
    {
        auto* block = static_cast<TLink*>(std::malloc(sizeof(TLink) + ABytes));
        if (!block)
            throw std::bad_alloc();
        block->Prev = nullptr;
        block->Next = FLarge;
        if (FLarge)
            FLarge->Prev = block;
        FLarge = block;
        return block + 1;
    }

    void FreeLarge(void* APointer)
    {
        TLink* block = static_cast<TLink*>(APointer) - 1;
        if (block->Prev)
            block->Prev->Next = block->Next;
        else
            FLarge = block->Next;
        if (block->Next)
            block->Next->Prev = block->Prev;
        std::free(block);
    }

    void* do_allocate(size_t ABytes, size_t AAlignment) override
    {
        if (AAlignment > kGrain)
            throw std::bad_alloc();
        return Allocate(ABytes);
    }
    void do_deallocate(void* APointer, size_t ABytes, size_t) override { Deallocate(APointer, ABytes); }
    bool do_is_equal(const std::pmr::memory_resource& AOther) const noexcept override { return this == &AOther; }

    TStream FNodes{kFirstNodeChunk};
    TStream FBlocks{kFirstBlockChunk};
    TFree* FNodeFree = nullptr;
    TFree* FFree[kSmallMax / kGrain] = {};
    TLink* FLarge = nullptr;
};

namespace {

struct TFoldHash {
    size_t operator()(std::string_view S) const noexcept { return HashText(S); }
};
struct TFoldEqual {
    bool operator()(std::string_view A, std::string_view B) const noexcept { return SameText(A, B); }
};

}  // namespace

// The rarely used fields of a node, allocated when first set. The keys of the index are the
// names of the indexed children themselves: an indexed child's name only changes through
// its parent's rename handler, which takes the entry out first.
struct TXmlDocAside {
    void* Data = nullptr;
    std::unique_ptr<std::unordered_map<std::string_view, TXmlDoc*, TFoldHash, TFoldEqual>> Index;
};

TXmlDocRenameEvent TXmlRenameSlot::FParentMarker;

TXmlRenameSlot& TXmlRenameSlot::operator=(TXmlDocRenameEvent AEvent)
{
    Reset();
    if (AEvent)
        FEvent = new TXmlDocRenameEvent(std::move(AEvent));
    return *this;
}

TXmlArena& TXmlDoc::Arena()
{
    if (!FArena) {
        FArena = new TXmlArena;
        Flags() |= kOwnsArena;
    }
    return *FArena;
}

TXmlDoc* TXmlDoc::MakeNode(std::string AName, std::string AValue)
{
    TXmlArena& arena = Arena();
    void* memory = arena.AllocateNode();
    TXmlDoc* node = new (memory) TXmlDoc(std::move(AName), std::move(AValue));
    node->FArena = &arena;
    node->Flags() = kPooled;
    return node;
}

TXmlDoc* TXmlDoc::MakeNodeCopy(std::string_view AName, std::string_view AValue)
{
    TXmlDoc* node = MakeNode({});
    node->varName.assign(AName);
    node->varValue.assign(AValue);
    return node;
}

void TXmlDoc::FreeNode(TXmlDoc* ANode)
{
    ANode->DestroyBelow();
    TXmlArena* arena = ANode->FArena;
    if (ANode->HoldsOutsidePool())
        ANode->~TXmlDoc();
    arena->DeallocateNode(ANode);
}

void TXmlDoc::ListInsert(TXmlNodeList& AList, size_t AAt, TXmlDoc* ANode)
{
    if (AList.FCount == AList.Capacity()) {
        const auto log = static_cast<uint8_t>(AList.FCapacityLog + 1);
        const size_t capacity = size_t{1} << log;
        auto* items = static_cast<TXmlDoc**>(Arena().Allocate(capacity * sizeof(TXmlDoc*)));
        std::memcpy(items, AList.Items(), AList.FCount * sizeof(TXmlDoc*));
        if (AList.FCapacityLog)
            FArena->Deallocate(AList.FItems, AList.Capacity() * sizeof(TXmlDoc*));
        AList.FItems = items;
        AList.FCapacityLog = log;
    }
    TXmlDoc** items = AList.Items();
    if (AAt < AList.FCount)
        std::memmove(items + AAt + 1, items + AAt, (AList.FCount - AAt) * sizeof(TXmlDoc*));
    items[AAt] = ANode;
    ++AList.FCount;
}

void TXmlDoc::ListErase(TXmlNodeList& AList, size_t AAt)
{
    TXmlDoc** items = AList.Items();
    std::memmove(items + AAt, items + AAt + 1, (AList.FCount - AAt - 1) * sizeof(TXmlDoc*));
    --AList.FCount;
}

void TXmlDoc::ListRelease(TXmlNodeList& AList)
{
    if (AList.FCapacityLog)
        FArena->Deallocate(AList.FItems, AList.Capacity() * sizeof(TXmlDoc*));
    AList.Detach();
}

TXmlDocAside& TXmlDoc::Aside()
{
    if (!FAside)
        FAside = new TXmlDocAside;
    return *FAside;
}

void* TXmlDoc::GetData() const { return FAside ? FAside->Data : nullptr; }

void TXmlDoc::SetData(void* AData)
{
    if (AData || FAside)
        Aside().Data = AData;
}

bool TXmlDoc::HoldsOutsidePool() const
{
    constexpr size_t local = std::string().capacity();  // what a string holds without the heap
    return FAside || (OnRename.FEvent && !OnRename.BoundToParent()) || varName.capacity() > local ||
           varValue.capacity() > local;
}

void TXmlDoc::DestroyBelow()
{
    // A tree may be nested deeper than the stack allows: the nodes below are collected on a
    // work list. No rename events are fired.
    if (varNodes.empty() && varProperties.empty()) {
        ListRelease(varNodes);
        ListRelease(varProperties);
        return;
    }
    std::vector<TXmlDoc*> pending;
    // A node whose lists are gone and that holds nothing outside the pool has nothing left
    // for its destructor to do.
    auto destroy = [](TXmlDoc* n) {
        TXmlArena* arena = n->FArena;
        if (n->HoldsOutsidePool())
            n->~TXmlDoc();
        arena->DeallocateNode(n);
    };
    // Leaves (most properties, most elements of a wide tree) go at once; only nodes with
    // something below them wait on the list.
    auto take = [&](TXmlDoc& n) {
        if (n.PropsAreNodes()) {
            for (TXmlDoc* p : n.varProperties) {
                if (p->varNodes.empty() && p->varProperties.empty())
                    destroy(p);
                else
                    pending.push_back(p);
            }
            n.ListRelease(n.varProperties);
        } else {
            n.DestroyProperties(n.varProperties, false);
        }
        for (TXmlDoc* c : n.varNodes) {
            if (!c->varNodes.empty()) {
                pending.push_back(c);
                continue;
            }
            if (!c->PropsAreNodes()) {
                c->DestroyProperties(c->varProperties, false);
                destroy(c);
                continue;
            }
            bool leafProps = true;
            for (TXmlDoc* p : c->varProperties)
                leafProps = leafProps && p->varNodes.empty() && p->varProperties.empty();
            if (!leafProps) {
                pending.push_back(c);
                continue;
            }
            for (TXmlDoc* p : c->varProperties)
                destroy(p);
            c->ListRelease(c->varProperties);
            destroy(c);
        }
        n.ListRelease(n.varNodes);
    };
    take(*this);
    if (FAside)
        FAside->Index.reset();
    while (!pending.empty()) {
        TXmlDoc* n = pending.back();
        pending.pop_back();
        take(*n);
        destroy(n);
    }
}

void TXmlDoc::ReleasePool()
{
    // Every node of the pool at once, in the order of the storage rather than of the tree
    // (no recursion, no pointer chasing): a node gives back only what it holds outside the
    // pool. No rename events are fired.
    FreeRecordTexts();
    varNodes.Detach();
    varProperties.Detach();
    if (FAside)
        FAside->Index.reset();
    FArena->ForEachNode([](void* ABlock) {
        auto* n = static_cast<TXmlDoc*>(ABlock);
        n->FreeRecordTexts();
        if (!n->HoldsOutsidePool())
            return;
        n->varNodes.Detach();
        n->varProperties.Detach();
        n->~TXmlDoc();
    });
    FArena->Release();
}

void TXmlDoc::DestroyList(TXmlNodeList& AList)
{
    for (TXmlDoc* n : AList)
        FreeNode(n);
    ListRelease(AList);
}

// ==================================================================== TXmlDoc basics

void TXmlDoc::ReleaseCachedMemory() { TChunkCache::Instance().Clear(); }

TXmlDoc::TXmlDoc(std::string AName, std::string AValue, void* AData, std::string_view AXML)
    : varName(std::move(AName)), varValue(std::move(AValue))
{
    SetData(AData);
    if (!AXML.empty())
        SetXML(AXML);
}

std::unique_ptr<TXmlDoc> TXmlDoc::CreateFromXML(std::string_view AXML) { return std::make_unique<TXmlDoc>("", "", nullptr, AXML); }

TXmlDoc::~TXmlDoc()
{
    // The root of a tree frees its pool at once; a node inside returns its parts to it.
    if ((Flags() & kOwnsArena) && FArena) {
        ReleasePool();
        delete FArena;
    } else {
        DestroyBelow();
    }
    delete FAside;
}

// ==================================================================== the name index

void TXmlDoc::SetName(const std::string& AName)
{
    if (OnRename.BoundToParent() && FParent) {
        // The parent's handler: the entry under the old name goes (whichever child it points
        // to), and this child takes the new name's entry unless another child holds it.
        // Empty names are never indexed.
        if (!varName.empty())
            FParent->IndexDrop(varName);
        varName = AName;
        FParent->IndexPut(*this, false);
        return;
    }
    // A child whose parent's handler was replaced leaves the index: its entry is keyed by
    // the name about to change.
    if ((Flags() & kIndexed) && FParent)
        FParent->IndexDrop(varName);
    if (!OnRename) {
        varName = AName;
        return;
    }
    const std::string old = varName;
    const std::string name = AName;
    (*OnRename.FEvent)(*this, old, name);
    varName = name;
}

void TXmlDoc::BindChild(TXmlDoc& Child)
{
    Child.FParent = this;
    Child.OnRename.BindToParent();
}

void TXmlDoc::BuildIndexMap() const
{
    auto& aside = const_cast<TXmlDoc*>(this)->Aside();
    aside.Index = std::make_unique<std::unordered_map<std::string_view, TXmlDoc*, TFoldHash, TFoldEqual>>();
    aside.Index->reserve(varNodes.size());
    for (TXmlDoc* c : varNodes)
        if (c->Flags() & kIndexed)
            aside.Index->emplace(c->varName, c);
}

void TXmlDoc::DropIndexMap()
{
    if (FAside)
        FAside->Index.reset();
}

// Children read from text enter the index in document order, the first of a name winning;
// this is decided when the index is first asked, so reading costs no index work.
void TXmlDoc::SettleIndex() const
{
    if (!(Flags() & kPending))
        return;
    Flags() &= static_cast<uint8_t>(~kPending);
    if (varNodes.size() > IndexThreshold) {
        BuildIndexMap();
        auto& index = *FAside->Index;
        for (TXmlDoc* c : varNodes) {
            if (!(c->Flags() & kCandidate))
                continue;
            c->Flags() &= static_cast<uint8_t>(~kCandidate);
            if (!c->varName.empty() && index.emplace(c->varName, c).second)
                c->Flags() |= kIndexed;
        }
        return;
    }
    for (size_t i = 0; i < varNodes.size(); ++i) {
        TXmlDoc* c = varNodes[i];
        if (!(c->Flags() & kCandidate))
            continue;
        c->Flags() &= static_cast<uint8_t>(~kCandidate);
        if (c->varName.empty())
            continue;
        bool present = false;
        for (TXmlDoc* o : varNodes)
            if (o != c && (o->Flags() & kIndexed) && SameText(o->varName, c->varName)) {
                present = true;
                break;
            }
        if (!present)
            c->Flags() |= kIndexed;
    }
}

TXmlDoc* TXmlDoc::IndexFind(std::string_view Name) const
{
    SettleIndex();
    if (FAside && FAside->Index) {
        auto it = FAside->Index->find(Name);
        return it == FAside->Index->end() ? nullptr : it->second;
    }
    if (varNodes.size() > IndexThreshold) {
        BuildIndexMap();
        auto it = FAside->Index->find(Name);
        return it == FAside->Index->end() ? nullptr : it->second;
    }
    for (TXmlDoc* c : varNodes)
        if ((c->Flags() & kIndexed) && SameText(c->varName, Name))
            return c;
    return nullptr;
}

void TXmlDoc::IndexDrop(std::string_view Name)
{
    TXmlDoc* entry = IndexFind(Name);
    if (!entry)
        return;
    if (FAside && FAside->Index)
        FAside->Index->erase(entry->varName);
    entry->Flags() &= static_cast<uint8_t>(~kIndexed);
}

void TXmlDoc::IndexPut(TXmlDoc& Child, bool Replace)
{
    if (Child.varName.empty())
        return;
    TXmlDoc* entry = IndexFind(Child.varName);
    if (entry == &Child)
        return;
    if (entry) {
        if (!Replace)
            return;
        IndexDrop(Child.varName);
    }
    Child.Flags() |= kIndexed;
    if (FAside && FAside->Index)
        FAside->Index->emplace(Child.varName, &Child);
}

// ==================================================================== children

TXmlDoc* TXmlDoc::AppendChild(std::string Name)
{
    TXmlDoc* child = MakeNode(std::move(Name));
    ListInsert(varNodes, varNodes.size(), child);
    BindChild(*child);
    IndexPut(*child, true);
    return child;
}

TXmlDoc* TXmlDoc::New(const std::string& NodeName) { return AppendChild(NodeName); }

TXmlDoc* TXmlDoc::Insert(int AIndex, const std::string& NodeName)
{
    if (AIndex < 0 || AIndex >= GetNodeCount())
        return AppendChild(NodeName);
    TXmlDoc* child = MakeNode(NodeName);
    ListInsert(varNodes, static_cast<size_t>(AIndex), child);
    BindChild(*child);
    IndexPut(*child, true);
    return child;
}

TXmlDoc* TXmlDoc::NewFromClone(const TXmlDoc& ANode)
{
    // The copy is made in this tree's pool; a holder list keeps ANode readable when it is
    // this node or lies below it.
    TXmlDoc* copy = MakeNode(ANode.varName, ANode.varValue);
    copy->SetData(ANode.GetData());
    for (size_t i = 0; i < ANode.varProperties.size(); ++i)
        if (!ANode.StoredValue(i).empty())
            copy->AddPropertyCopy(ANode.StoredName(i), ANode.StoredValue(i));
    copy->AppendCopiesOf(ANode.varNodes, ANode);
    ListInsert(varNodes, varNodes.size(), copy);
    BindChild(*copy);
    IndexPut(*copy, true);
    return copy;
}

TXmlDoc* TXmlDoc::NamedChild(std::string_view NodeName)
{
    if (TXmlDoc* hit = IndexFind(NodeName))
        return hit;
    return AppendChild(std::string(NodeName));
}
TXmlDoc* TXmlDoc::GetNode(const TNodeInfo& NodeInfo)
{
    return std::visit(
        [this](const auto& v) -> TXmlDoc* {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>)
                return GetNode(std::string_view(v));
            else if constexpr (std::is_same_v<V, bool>)
                return GetNodeByIndex(v ? -1 : 0);  // a Boolean variant reads -1 or 0 as an integer
            else if constexpr (std::is_same_v<V, int8_t> || std::is_same_v<V, uint8_t> || std::is_same_v<V, int16_t> ||
                               std::is_same_v<V, uint16_t> || std::is_same_v<V, int32_t> || std::is_same_v<V, uint32_t>)
                return GetNodeByIndex(static_cast<int>(v));
            else
                return nullptr;
        },
        NodeInfo);
}

TXmlDoc* TXmlDoc::GetNode(std::string_view APath)
{
    TXmlDoc* current = this;
    std::string_view rest = APath;
    for (;;) {
        const size_t sep = rest.find('\\');
        const std::string_view head = rest.substr(0, sep);
        if (!head.empty()) {
            if (head.size() >= 2 && head.front() == '{' && head.back() == '}') {
                const std::string_view inner = head.substr(1, head.size() - 2);
                const size_t colon = inner.find(':');
                if (colon == 0) {
                    current = current->AppendChild(std::string(inner.substr(1)));
                } else {
                    const std::string_view number = inner.substr(0, colon);
                    int32_t index = 0;
                    if (!ParseInteger(number, index))
                        throw EConvertError("'" + std::string(number) + "' is not a valid integer value");
                    if (colon == std::string_view::npos)
                        current = current->GetNodeByIndex(index);
                    else
                        current = current->GetNamedNodeByIndex(index, std::string(inner.substr(colon + 1)));
                }
            } else {
                current = current->NamedChild(head);
            }
        }
        if (sep == std::string_view::npos)
            return current;
        rest = rest.substr(sep + 1);
        if (rest.empty())
            return current;
    }
}

TXmlDoc* TXmlDoc::GetNodeByIndex(int NodeIndex)
{
    int64_t index = NodeIndex;
    if (index < 0)
        index += GetNodeCount();
    if (index < 0 || index >= GetNodeCount())
        return AppendChild({});
    return varNodes[static_cast<size_t>(index)];
}

TXmlDoc* TXmlDoc::GetNamedNodeByIndex(int NodeIndex, const std::string& NodeName)
{
    if (NodeIndex >= 0) {
        int seen = 0;
        for (TXmlDoc* child : varNodes)
            if (SameText(child->varName, NodeName) && seen++ == NodeIndex)
                return child;
    }
    return AppendChild(NodeName);
}

TXmlDoc* TXmlDoc::FindNode(std::string_view NodeName, bool Hierarchy) const
{
    auto lookup = [NodeName](const TXmlDoc& n) -> TXmlDoc* { return n.IndexFind(NodeName); };
    if (TXmlDoc* hit = lookup(*this))
        return hit;
    if (!Hierarchy)
        return nullptr;
    std::vector<std::pair<const TXmlDoc*, size_t>> stack{{this, 0}};
    while (!stack.empty()) {
        auto& [node, next] = stack.back();
        if (next >= node->varNodes.size()) {
            stack.pop_back();
            continue;
        }
        const TXmlDoc* child = node->varNodes[next++];
        if (TXmlDoc* hit = lookup(*child))
            return hit;
        stack.emplace_back(child, 0);
    }
    return nullptr;
}

TXmlDoc* TXmlDoc::FindNode(std::string_view NodeName, TXmlDoc*& Node, bool Hierarchy) const
{
    Node = FindNode(NodeName, Hierarchy);
    return Node;
}

bool TXmlDoc::FindNodeB(std::string_view NodeName, TXmlDoc*& Node, bool Hierarchy) const
{
    Node = FindNode(NodeName, Hierarchy);
    return Node != nullptr;
}

namespace {

// Visits the descendants of a node in pre-order; AVisit returns false to stop, and says
// through ADescend whether to go below the node it was given.
template <class F>
void PreOrder(const TXmlNodeList& roots, bool Hierarchy, F&& AVisit,
              const TXmlNodeList& (*childrenOf)(const TXmlDoc&))
{
    std::vector<std::pair<const TXmlNodeList*, size_t>> stack{{&roots, 0}};
    while (!stack.empty()) {
        auto& [list, next] = stack.back();
        if (next >= list->size()) {
            stack.pop_back();
            continue;
        }
        TXmlDoc* child = (*list)[next++];
        bool descend = Hierarchy;
        if (!AVisit(child, descend))
            return;
        if (descend)
            stack.emplace_back(&childrenOf(*child), 0);
    }
}

}  // namespace

TXmlDoc* TXmlDoc::FindNodeByProp(std::string_view PropName, std::string_view PropValue, bool Hierarchy) const
{
    TXmlDoc* found = nullptr;
    PreOrder(
        varNodes, Hierarchy,
        [&](TXmlDoc* child, bool&) {
            std::string_view value;
            if (child->LookupProperty(PropName, value) && SameText(value, PropValue)) {
                found = child;
                return false;
            }
            return true;
        },
        [](const TXmlDoc& n) -> const TXmlNodeList& { return n.varNodes; });
    return found;
}

bool TXmlDoc::FindNodeByProp(std::string_view PropName, std::string_view PropValue, TXmlDoc*& Node, bool Hierarchy) const
{
    Node = FindNodeByProp(PropName, PropValue, Hierarchy);
    return Node != nullptr;
}

bool TXmlDoc::FindNodeByProp(std::string_view PropName, std::string_view PropValue, TXmlDocList& AList, bool Hierarchy) const
{
    PreOrder(
        varNodes, Hierarchy,
        [&](TXmlDoc* child, bool&) {
            std::string_view value;
            if (child->LookupProperty(PropName, value) && SameText(value, PropValue))
                AList.push_back(child);
            return true;
        },
        [](const TXmlDoc& n) -> const TXmlNodeList& { return n.varNodes; });
    return !AList.empty();
}

TXmlDoc* TXmlDoc::GetPath(std::string_view APath)
{
    const size_t dot = APath.find('.');
    TXmlDoc* node = GetNode(APath.substr(0, dot));
    if (dot == std::string_view::npos || dot + 1 == APath.size())
        return node;
    return node->GetProperty(APath.substr(dot + 1));
}

namespace {

int CompareChildren(TXmlDoc* A, TXmlDoc* B, std::string_view path)
{
    if (!path.empty() && path.front() == '-') {
        path.remove_prefix(1);
        std::swap(A, B);
    }
    if (path.empty())
        return CompareText(A->GetName(), B->GetName());
    const size_t dot = path.find('.');
    const std::string_view nodePart = path.substr(0, dot);
    const std::string_view propPart = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
    if (!nodePart.empty()) {
        A = A->GetNode(nodePart);
        B = B->GetNode(nodePart);
    }
    if (!propPart.empty()) {
        A = A->GetProperty(propPart);
        B = B->GetProperty(propPart);
    }
    double a = 0, b = 0;
    if (TextIsFloat(A->GetValue()) && TextIsFloat(B->GetValue()) && ParseFloat(A->GetValue(), a) &&
        ParseFloat(B->GetValue(), b))
        return a == b ? 0 : (a > b ? 1 : -1);
    return CompareText(A->GetValue(), B->GetValue());
}

// Quicksort whose scans are bounded by the range: the comparison mixes numeric and text
// order, which is not transitive, and must not lead the scans out of the list.
void QuickSort(TXmlDoc** list, ptrdiff_t L, ptrdiff_t R, std::string_view path)
{
    while (L < R) {
        ptrdiff_t i = L, j = R, p = L + (R - L) / 2;
        do {
            while (i <= R && CompareChildren(list[i], list[p], path) < 0)
                ++i;
            while (j >= L && CompareChildren(list[j], list[p], path) > 0)
                --j;
            if (i <= j) {
                if (i != j)
                    std::swap(list[i], list[j]);
                if (p == i)
                    p = j;
                else if (p == j)
                    p = i;
                ++i;
                --j;
            }
        } while (i <= j);
        // Recurse into the smaller side so the stack stays logarithmic.
        if (j - L < R - i) {
            if (L < j)
                QuickSort(list, L, j, path);
            L = i;
        } else {
            if (i < R)
                QuickSort(list, i, R, path);
            R = j;
        }
    }
}

}  // namespace

void TXmlDoc::SortNodes(bool Hierarchy, const std::string& ASortPath)
{
    std::vector<TXmlDoc*> work{this};
    while (!work.empty()) {
        TXmlDoc* node = work.back();
        work.pop_back();
        node->SettleIndex();  // children read from text enter the index in document order
        if (node->varNodes.size() > 1)
            QuickSort(node->varNodes.Items(), 0, static_cast<ptrdiff_t>(node->varNodes.size()) - 1, ASortPath);
        if (Hierarchy)
            work.insert(work.end(), node->varNodes.begin(), node->varNodes.end());
    }
}

void TXmlDoc::ExchangeNodes(TXmlDoc* NodeA, TXmlDoc* NodeB)
{
    auto find = [this](TXmlDoc* n) -> int {
        for (size_t i = 0; i < varNodes.size(); ++i)
            if (varNodes[i] == n)
                return static_cast<int>(i);
        return -1;
    };
    if (!NodeA || !NodeB)
        return;
    ExchangeNodes(find(NodeA), find(NodeB));
}

void TXmlDoc::ExchangeNodes(int IdxA, int IdxB)
{
    const int count = GetNodeCount();
    if (IdxA < 0 || IdxA >= count || IdxB < 0 || IdxB >= count)
        return;
    SettleIndex();
    std::swap(varNodes.Items()[IdxA], varNodes.Items()[IdxB]);
}

void TXmlDoc::DeleteNode(std::string_view NodeName) { DeleteNode(GetNode(NodeName)); }

void TXmlDoc::DeleteNode(TXmlDoc* Node)
{
    if (!Node)
        return;
    // Only a child of this node is removed; anything else is not ours to destroy.
    for (size_t i = varNodes.size(); i-- > 0;) {
        if (varNodes[i] != Node)
            continue;
        IndexDrop(Node->varName);
        ListErase(varNodes, i);
        Node->OnRename = nullptr;
        FreeNode(Node);
        return;
    }
}

void TXmlDoc::DestroyChildren()
{
    DropIndexMap();
    Flags() &= static_cast<uint8_t>(~kPending);
    DestroyList(varNodes);
}

void TXmlDoc::DeleteNodes() { DestroyChildren(); }

void TXmlDoc::ResetContent()
{
    SetName({});
    varValue.clear();
    if ((Flags() & kOwnsArena) && FArena) {
        // Nothing else lives in the pool of a root whose lists are all emptied: it is
        // released whole instead of node by node.
        ReleasePool();
        DropIndexMap();
        Flags() &= static_cast<uint8_t>(~(kPending | kDeferredEncType | kPropNodes | kRecordsHeap));
        FArena->Release();
        return;
    }
    DeleteProperties();
    DestroyChildren();
}

void TXmlDoc::Clear() { ResetContent(); }

// ==================================================================== properties

namespace {
constexpr std::string_view kEncType = "_enctype";
constexpr size_t kLocalText = std::string().capacity();  // what a string holds without the heap
}  // namespace

// A property until it is handed out as a node: its name and value, kept in the pool's small
// blocks and in the node's property list in place of a node pointer.
struct TXmlPropRecord {
    std::string Name;
    std::string Value;
};

namespace {
TXmlPropRecord* RecordAt(const TXmlNodeList& AList, size_t AIndex)
{
    return reinterpret_cast<TXmlPropRecord*>(AList[AIndex]);
}
}  // namespace

const std::string& TXmlDoc::StoredName(size_t AIndex) const
{
    return PropsAreNodes() ? varProperties[AIndex]->varName : RecordAt(varProperties, AIndex)->Name;
}

const std::string& TXmlDoc::StoredValue(size_t AIndex) const
{
    return PropsAreNodes() ? varProperties[AIndex]->varValue : RecordAt(varProperties, AIndex)->Value;
}

std::string& TXmlDoc::StoredValueRef(size_t AIndex)
{
    return PropsAreNodes() ? varProperties[AIndex]->varValue : RecordAt(varProperties, AIndex)->Value;
}

void TXmlDoc::NoteRecordTexts(const TXmlPropRecord& ARecord)
{
    if (ARecord.Name.capacity() > kLocalText || ARecord.Value.capacity() > kLocalText)
        Flags() |= kRecordsHeap;
}

void TXmlDoc::FreeRecordTexts()
{
    // The records' own blocks go with the pool; only their long texts are given back here.
    if (PropsAreNodes() || !(Flags() & kRecordsHeap))
        return;
    for (size_t i = 0; i < varProperties.size(); ++i)
        RecordAt(varProperties, i)->~TXmlPropRecord();
    Flags() &= static_cast<uint8_t>(~kRecordsHeap);
}

void TXmlDoc::MaterializeProperties() const
{
    if (PropsAreNodes())
        return;
    auto& self = const_cast<TXmlDoc&>(*this);
    TXmlDoc** items = self.varProperties.Items();
    for (size_t i = 0; i < varProperties.size(); ++i) {
        TXmlPropRecord* record = RecordAt(varProperties, i);
        TXmlDoc* node = self.MakeNode(std::move(record->Name), std::move(record->Value));
        record->~TXmlPropRecord();
        FArena->Deallocate(record, sizeof(TXmlPropRecord));
        items[i] = node;
    }
    self.Flags() = static_cast<uint8_t>((Flags() | kPropNodes) & ~kRecordsHeap);
}

void TXmlDoc::DestroyProperties(TXmlNodeList& AList, bool AsNodes)
{
    if (AsNodes) {
        DestroyList(AList);
        return;
    }
    for (size_t i = 0; i < AList.size(); ++i) {
        TXmlPropRecord* record = RecordAt(AList, i);
        record->~TXmlPropRecord();
        FArena->Deallocate(record, sizeof(TXmlPropRecord));
    }
    ListRelease(AList);
}

void TXmlDoc::StoreDeferred() const
{
    if (!HasDeferredEncType())
        return;
    auto& self = const_cast<TXmlDoc&>(*this);
    self.Flags() &= static_cast<uint8_t>(~kDeferredEncType);
    self.AddProperty(std::string(kEncType), {});
}

size_t TXmlDoc::FindStored(std::string_view AName) const
{
    const size_t count = varProperties.size();
    if (PropsAreNodes()) {
        for (size_t i = 0; i < count; ++i)
            if (SameText(varProperties[i]->varName, AName))
                return i;
        return kNoProperty;
    }
    for (size_t i = 0; i < count; ++i)
        if (SameText(RecordAt(varProperties, i)->Name, AName))
            return i;
    return kNoProperty;
}

bool TXmlDoc::LookupProperty(std::string_view AName, std::string_view& AValue) const
{
    const size_t i = FindStored(AName);
    if (i != kNoProperty) {
        AValue = StoredValue(i);
        return true;
    }
    AValue = {};
    return HasDeferredEncType() && SameText(AName, kEncType);
}

void TXmlDoc::AddProperty(std::string AName, std::string AValue)
{
    StoreDeferred();
    if (PropsAreNodes()) {
        ListInsert(varProperties, varProperties.size(), MakeNode(std::move(AName), std::move(AValue)));
        return;
    }
    TXmlArena& arena = Arena();
    auto* record = new (arena.Allocate(sizeof(TXmlPropRecord))) TXmlPropRecord{std::move(AName), std::move(AValue)};
    NoteRecordTexts(*record);
    ListInsert(varProperties, varProperties.size(), reinterpret_cast<TXmlDoc*>(record));
}

void TXmlDoc::AddPropertyCopy(std::string_view AName, std::string_view AValue)
{
    StoreDeferred();
    if (PropsAreNodes()) {
        ListInsert(varProperties, varProperties.size(), MakeNodeCopy(AName, AValue));
        return;
    }
    TXmlArena& arena = Arena();
    auto* record = new (arena.Allocate(sizeof(TXmlPropRecord))) TXmlPropRecord;
    record->Name.assign(AName);
    record->Value.assign(AValue);
    NoteRecordTexts(*record);
    ListInsert(varProperties, varProperties.size(), reinterpret_cast<TXmlDoc*>(record));
}

std::string& TXmlDoc::PropertyValue(std::string_view AName)
{
    size_t i = FindStored(AName);
    if (i == kNoProperty) {
        // The deferred "_enctype" is made where it stands (last); any other is added there.
        if (HasDeferredEncType() && SameText(AName, kEncType))
            StoreDeferred();
        else
            AddPropertyCopy(AName, {});
        i = varProperties.size() - 1;
    }
    return StoredValueRef(i);
}

void TXmlDoc::SetPropertyText(std::string_view AName, std::string AValue)
{
    size_t i = FindStored(AName);
    if (i == kNoProperty) {
        // An absent property is made with its value at once; the deferred one where it stands.
        if (!HasDeferredEncType() || !SameText(AName, kEncType)) {
            AddProperty(std::string(AName), std::move(AValue));
            return;
        }
        StoreDeferred();
        i = varProperties.size() - 1;
    }
    std::string& value = StoredValueRef(i);
    value = std::move(AValue);
    if (!PropsAreNodes() && value.capacity() > kLocalText)
        Flags() |= kRecordsHeap;
}

TXmlDoc* TXmlDoc::GetPropertyByName(std::string_view PropertyName, bool CreateIfNotExists)
{
    if (const TXmlDoc* p = FindProperty(PropertyName))
        return const_cast<TXmlDoc*>(p);
    if (!CreateIfNotExists)
        return nullptr;
    MaterializeProperties();
    AddPropertyCopy(PropertyName, {});
    return varProperties.back();
}

const TXmlDoc* TXmlDoc::FindProperty(std::string_view PropertyName) const
{
    const size_t i = FindStored(PropertyName);
    if (i == kNoProperty) {
        if (!HasDeferredEncType() || !SameText(PropertyName, kEncType))
            return nullptr;
        StoreDeferred();
    }
    MaterializeProperties();
    return varProperties[i == kNoProperty ? varProperties.size() - 1 : i];
}

namespace {
const std::string NoText;
}

const std::string& TXmlDoc::Prop(std::string_view PropertyName) const
{
    // The deferred "_enctype" is empty: it need not be made to be read.
    const size_t i = FindStored(PropertyName);
    return i == kNoProperty ? NoText : StoredValue(i);
}

const std::string& UnitXmlDoc::Prop(const TXmlDoc* ANode, std::string_view AName)
{
    return ANode ? ANode->Prop(AName) : NoText;
}

TXmlDoc* TXmlDoc::GetPropertyByIndex(int PropertyIndex)
{
    const bool inside = PropertyIndex >= 0 && PropertyIndex < GetPropertyCount();
    StoreDeferred();
    MaterializeProperties();
    if (!inside)
        AddProperty({}, {});
    return inside ? varProperties[static_cast<size_t>(PropertyIndex)] : varProperties.back();
}

void TXmlDoc::DeleteProperty(std::string_view PropertyName)
{
    // Only one "_enctype" stands while it is deferred.
    if (HasDeferredEncType() && SameText(PropertyName, kEncType)) {
        Flags() &= static_cast<uint8_t>(~kDeferredEncType);
        return;
    }
    const size_t i = FindStored(PropertyName);
    if (i == kNoProperty)
        return;
    TXmlDoc* p = varProperties[i];
    ListErase(varProperties, i);
    if (PropsAreNodes()) {
        FreeNode(p);
        return;
    }
    auto* record = reinterpret_cast<TXmlPropRecord*>(p);
    record->~TXmlPropRecord();
    FArena->Deallocate(record, sizeof(TXmlPropRecord));
}

void TXmlDoc::DeleteProperties()
{
    const bool asNodes = PropsAreNodes();
    Flags() &= static_cast<uint8_t>(~(kDeferredEncType | kPropNodes | kRecordsHeap));
    DestroyProperties(varProperties, asNodes);
}

// ==================================================================== values

bool TXmlDoc::IsNumeric() const { return TextIsNumeric(varValue); }

bool TXmlDoc::IsFloat() const { return TextIsFloat(varValue); }

bool TXmlDoc::IsDateTime() const
{
    if (varValue.empty())
        return false;
    for (char c : varValue)
        if (c != '0' && c != '-' && c != ':' && c != '.' && c != ' ' && c != 'Z' && c != 'z' && c != '+')
            return true;
    return false;
}

namespace {
template <class T>
T RoundToInteger(double v)
{
    const double r = std::nearbyint(v);  // the default rounding mode: ties to even
    if (!(r >= static_cast<double>(std::numeric_limits<T>::min())))
        return std::numeric_limits<T>::min();
    if (r >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(r);
}
}  // namespace

namespace {
int32_t Int32Of(const std::string& AText)
{
    if (TextIsFloat(AText))
        return RoundToInteger<int32_t>(TextToFloat(AText));
    int32_t v = 0;
    return ParseInteger(AText, v) ? v : 0;
}
}  // namespace

int32_t TXmlDoc::GetAsInt() const { return Int32Of(varValue); }

bool TXmlDoc::Getb(std::string_view PropName) { return TextToBool(PropertyValue(PropName)); }

int32_t TXmlDoc::Geti(std::string_view PropName) { return Int32Of(PropertyValue(PropName)); }

double TXmlDoc::Getd(std::string_view PropName) { return TextToDateTime(PropertyValue(PropName)); }

void TXmlDoc::Seti(std::string_view PropName, int32_t AValue) { SetPropertyText(PropName, IntText(AValue)); }

void TXmlDoc::Setd(std::string_view PropName, double AValue) { SetPropertyText(PropName, DateTimeToText(AValue)); }

void TXmlDoc::SetAsInt(int32_t AValue) { varValue = IntText(AValue); }

int64_t TXmlDoc::GetAsInt64() const
{
    if (IsFloat())
        return RoundToInteger<int64_t>(TextToFloat(varValue));
    int64_t v = 0;
    return ParseInteger(varValue, v) ? v : 0;
}

void TXmlDoc::SetAsInt64(int64_t AValue) { varValue = IntText(AValue); }

double TXmlDoc::GetAsFloat() const { return TextToFloat(varValue); }

void TXmlDoc::SetAsFloat(double AValue) { varValue = FloatToText(AValue); }

bool TXmlDoc::GetAsBool() const { return TextToBool(varValue); }

double TXmlDoc::GetAsDateTime() const { return TextToDateTime(varValue); }

void TXmlDoc::SetAsDateTime(double AValue) { varValue = DateTimeToText(AValue); }

void TXmlDoc::Push(std::string_view S, std::string_view AToken)
{
    if (S.empty())
        return;
    const bool endsWithToken = varValue.size() >= AToken.size() &&
                               std::string_view(varValue).substr(varValue.size() - AToken.size()) == AToken;
    if (!varValue.empty() && !endsWithToken)
        varValue.append(AToken);
    varValue.append(S);
}

std::string TXmlDoc::Pop(std::string_view AToken)
{
    const size_t at = AToken.empty() ? std::string::npos : varValue.find(AToken);
    if (at == std::string::npos) {
        std::string all = std::move(varValue);
        varValue.clear();
        return all;
    }
    std::string head = varValue.substr(0, at);
    varValue.erase(0, at + AToken.size());
    return head;
}

void TXmlDoc::Setv(std::string AValue, std::string AEncode)
{
    varValue = std::move(AValue);
    if (!AEncode.empty())
        SetEncType(std::move(AEncode));
}

// ==================================================================== lists of text

void TXmlDoc::ParseStringList(std::string_view S, std::string_view AToken)
{
    std::vector<std::string> lines;
    if (!AToken.empty()) {
        TXmlDoc rest("", std::string(S));
        while (!rest.varValue.empty())
            lines.push_back(rest.Pop(AToken));
    } else {
        size_t i = 0;
        while (i < S.size()) {
            const size_t stop = S.find_first_of("\r\n", i);
            if (stop == std::string_view::npos) {
                lines.emplace_back(S.substr(i));
                break;
            }
            lines.emplace_back(S.substr(i, stop - i));
            i = stop + ((S[stop] == '\r' && stop + 1 < S.size() && S[stop + 1] == '\n') ? 2 : 1);
        }
    }
    ParseStrings(lines);
}

void TXmlDoc::ParseStrings(const std::vector<std::string>& L)
{
    for (const std::string& line : L) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == line.size())
            continue;
        GetNode(std::string_view(line).substr(0, eq))->Setv(line.substr(eq + 1));
    }
}

void TXmlDoc::GetStrings(std::vector<std::string>& L) const
{
    for (TXmlDoc* child : varNodes) {
        if (child->varName.empty() || child->varValue.empty())
            continue;
        if (child->varName.back() == '=')
            L.push_back(child->varName + child->varValue);
        else
            L.push_back(child->varName + "=" + child->varValue);
    }
}

std::string TXmlDoc::GetCommaNames() const
{
    std::string result;
    for (TXmlDoc* child : varNodes) {
        if (child->varName.empty())
            continue;
        if (!result.empty() && result.back() != ',')
            result += ',';
        result += child->varName;
    }
    return result;
}

// ==================================================================== copying

void TXmlDoc::AppendCopiesOf(const TXmlNodeList& ANodes, const TXmlDoc& ASource)
{
    // Iterative deep copy: each pair is a source node and its fresh copy whose properties
    // and children are still to be filled. A copied child is indexed where its source is.
    // The copies are attached only when complete, so ANodes may be this node's own list.
    ASource.SettleIndex();
    std::vector<std::pair<const TXmlDoc*, TXmlDoc*>> work;
    std::vector<TXmlDoc*> tops;
    tops.reserve(ANodes.size());
    for (TXmlDoc* child : ANodes) {
        TXmlDoc* copy = MakeNodeCopy(child->varName, child->varValue);
        copy->SetData(child->GetData());
        tops.push_back(copy);
        work.emplace_back(child, copy);
    }
    while (!work.empty()) {
        auto [from, to] = work.back();
        work.pop_back();
        for (size_t i = 0; i < from->varProperties.size(); ++i)
            if (!from->StoredValue(i).empty())
                to->AddPropertyCopy(from->StoredName(i), from->StoredValue(i));
        from->SettleIndex();
        for (TXmlDoc* child : from->varNodes) {
            TXmlDoc* copy = to->MakeNodeCopy(child->varName, child->varValue);
            copy->SetData(child->GetData());
            to->ListInsert(to->varNodes, to->varNodes.size(), copy);
            to->BindChild(*copy);
            copy->Flags() |= static_cast<uint8_t>(child->Flags() & kIndexed);
            work.emplace_back(child, copy);
        }
    }
    for (size_t i = 0; i < tops.size(); ++i) {
        TXmlDoc* copy = tops[i];
        ListInsert(varNodes, varNodes.size(), copy);
        BindChild(*copy);
        if (ANodes[i]->Flags() & kIndexed)
            IndexPut(*copy, true);
    }
}

void TXmlDoc::Clone(const TXmlDoc& ANode, TCloneFlags ACloneFlags)
{
    // ANode may be this node or lie below it: whatever the reset steps remove is kept alive
    // until the copy is done, and the copy reads ANode's children from where they went.
    SettleIndex();
    ANode.SettleIndex();
    std::string name = ANode.varName;
    std::string value = ANode.varValue;
    void* const data = ANode.GetData();
    std::vector<std::pair<std::string, std::string>> props;
    if (!(ACloneFlags & cfAvoidProps))
        for (size_t i = 0; i < ANode.varProperties.size(); ++i)
            if (!ANode.StoredValue(i).empty())
                props.emplace_back(ANode.StoredName(i), ANode.StoredValue(i));
    TXmlNodeList keptProps, keptNodes;
    bool keptPropsAsNodes = false;
    const TXmlNodeList* sourceNodes = &ANode.varNodes;

    auto detachNodes = [&] {
        if (varNodes.empty())
            return;
        keptNodes = varNodes;
        varNodes.Detach();
        DropIndexMap();
        if (&ANode == this)
            sourceNodes = &keptNodes;
    };

    if (!(ACloneFlags & cfAvoidReset)) {
        SetName({});
        varValue.clear();
        keptProps = varProperties;
        keptPropsAsNodes = PropsAreNodes();
        varProperties.Detach();
        Flags() &= static_cast<uint8_t>(~(kDeferredEncType | kPropNodes | kRecordsHeap));
        detachNodes();
    }
    if (!(ACloneFlags & cfAvoidName))
        SetName(name);
    if (!(ACloneFlags & cfAvoidValue))
        varValue = std::move(value);
    if (!(ACloneFlags & cfAvoidData))
        SetData(data);
    for (auto& [n, v] : props)
        AddProperty(std::move(n), std::move(v));
    if (!(ACloneFlags & cfAvoidNodes)) {
        if (!(ACloneFlags & cfAvoidResetNodes))
            detachNodes();
        AppendCopiesOf(*sourceNodes, ANode);
    }
    DestroyList(keptNodes);
    DestroyProperties(keptProps, keptPropsAsNodes);
}

std::unique_ptr<TXmlDoc> TXmlDoc::Duplicate() const
{
    auto copy = std::make_unique<TXmlDoc>(varName, varValue, GetData());
    for (size_t i = 0; i < varProperties.size(); ++i)
        if (!StoredValue(i).empty())
            copy->AddPropertyCopy(StoredName(i), StoredValue(i));
    copy->AppendCopiesOf(varNodes, *this);
    return copy;
}

void TXmlDoc::LoadFromNode(const TXmlDoc* ANode)
{
    const std::string text = (ANode ? ANode : this)->varValue;
    SetXML(text);
}

void TXmlDoc::SaveToNode(TXmlDoc* ANode, const std::string& AEncode)
{
    if (ANode && ANode != this) {
        ANode->Setv(GetXML(), AEncode);
        return;
    }
    std::string text = GetXML();
    DeleteProperties();
    DestroyChildren();
    // The encoding asked for stays, so the text keeps travelling in that form.
    Setv(std::move(text), AEncode);
}


// A node fits the pool's 128-byte blocks (names and values are std::string, 32 bytes each).
static_assert(sizeof(void*) != 8 || sizeof(TXmlDoc) <= 128, "TXmlDoc grew past 128 bytes");
