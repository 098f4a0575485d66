// The cache of unpacked trees: planning a launch, the tree's record, and
// moving a freshly unpacked tree into place.
#include "unpack/cache.h"

#include <cstring>

#include "core/launch/appstate.h"
#include "core/paths/paths.h"
#include "core/bytes/littleendian.h"
#include "core/bytes/sha256.h"
#include "runtime/workdir/cachedir.h"
#include "runtime/process/cmdline.h"
#include "runtime/fs/files.h"
#include "runtime/base/iocodes.h"
#include "runtime/workdir/removetree.h"
#include "runtime/base/shorttext.h"
#include "runtime/workdir/workdir.h"
#include "unpack/container.h"

namespace {

constexpr std::string_view recordName = "zop.rec";
constexpr std::string_view recordMagic = "ZOPTREE1";
constexpr std::string_view recordEnd = "END1";
// Key bytes in a tree's name (twice as many hex digits): short names for
// Windows' path limits; the record holds the whole key.
constexpr std::size_t keyBytesInName = 16;
// Draws of a private directory's name before the cache is given up.
constexpr int maxPrivateDraws = 100;
// A record larger than this is no record of ours.
constexpr int32_t maxRecordSize = 64 << 20;
// A tree that no launch used for this long goes; so does a private
// directory this old that no launcher holds (its launcher was killed). The
// grace keeps a directory that was just made, before its lock is taken.
constexpr int64_t unusedTreeSeconds = 30 * 86400;
constexpr int64_t leftoverSeconds = 3600;
// A hit of a tree used this recently neither marks it nor sweeps the root.
constexpr int64_t usePauseSeconds = 3600;
// Removals of old trees and leftovers per launch: clean-up must not make
// one start slow.
constexpr int maxRemovalsPerLaunch = 3;

std::string hexOf(std::string_view bytes)
{
    std::string text;
    for (unsigned char b : bytes) {
        text += "0123456789abcdef"[b >> 4];
        text += "0123456789abcdef"[b & 15];
    }
    return text;
}

std::string inside(const std::string& dir, std::string_view name)
{
    return joinPath(dir, name);
}

// ---------------------------------------------------------------- the record

void putInt32(std::string& out, int32_t value)
{
    unsigned char bytes[4];
    storeLittleEndian32(bytes, static_cast<uint32_t>(value));
    out.append(reinterpret_cast<const char*>(bytes), 4);
}

int32_t int32At(std::string_view bytes, std::size_t at)
{
    return static_cast<int32_t>(loadLittleEndian32(reinterpret_cast<const unsigned char*>(bytes.data() + at)));
}

// An item's fixed part: its kind byte, its size and its text's length.
constexpr std::size_t itemHeadSize = 9;

bool isCommandItem(char kind)
{
    return kind == 'c' || kind == 't';
}

// Walks the items after the key; visit(kind, size, text) for each. False
// when the bytes are no whole record (then items may have been visited).
template <typename Visit>
bool walkItems(std::string_view bytes, Visit visit)
{
    std::size_t at = recordMagic.size() + sha256Size;
    while (at + itemHeadSize <= bytes.size()) {
        const int32_t length = int32At(bytes, at + 5);
        if (length < 0 || static_cast<std::size_t>(length) > bytes.size() - at - itemHeadSize)
            return false;
        visit(bytes[at], int32At(bytes, at + 1), bytes.substr(at + itemHeadSize, static_cast<std::size_t>(length)));
        at += itemHeadSize + static_cast<std::size_t>(length);
    }
    return bytes.substr(at) == recordEnd;
}

bool isRecordOf(std::string_view bytes, std::string_view key)
{
    return bytes.size() >= recordMagic.size() + sha256Size && bytes.starts_with(recordMagic) &&
           bytes.substr(recordMagic.size(), sha256Size) == key;
}

// The whole file, when it can be read and is not too large for a record.
bool readRecordFile(const std::string& path, std::string& bytes)
{
    BinaryFile file;
    assignFile(file, path);
    openFile(file, 1);
    const int32_t size = fileSize(file);
    if (ioResult() != 0 || size > maxRecordSize) {
        closeFile(file);
        ioResult();
        return false;
    }
    bytes.assign(static_cast<std::size_t>(size), '\0');
    readBlock(file, bytes.data(), size);
    closeFile(file);
    return ioResult() == 0;
}

// Room for the record of entryCount entries with texts as long as a header
// holds, taken at once so that the record never moves as it grows (a move
// holds it twice, the largest share of a miss's memory); only the bytes
// written take memory.
std::size_t recordRoomFor(int32_t entryCount)
{
    constexpr std::size_t longestItem = itemHeadSize + sizeof(header{}.text.bytes);
    const int64_t room = static_cast<int64_t>(recordMagic.size() + sha256Size + recordEnd.size()) +
                         static_cast<int64_t>(entryCount > 0 ? entryCount : 0) * static_cast<int64_t>(longestItem);
    return static_cast<std::size_t>(room < maxRecordSize ? room : maxRecordSize);
}

bool writeRecordFile(const std::string& path, const std::string& bytes)
{
    BinaryFile file;
    assignFile(file, path);
    // A packed file of the record's name would be overwritten: no cache then.
    createNewFile(file, 1);
    writeBlock(file, bytes.data(), static_cast<int32_t>(bytes.size()));
    const bool synced = ioResult() == 0 && syncFile(file);
    closeFile(file);
    return ioResult() == 0 && synced;
}

// Every packed directory and file is there, each file with its size: one
// look at each, nothing read.
bool treeIsComplete(const std::string& tree, const TreeRecord& record)
{
    bool complete = true;
    const bool whole = walkItems(record.bytes, [&](char kind, int32_t size, std::string_view name) {
        if (!complete || isCommandItem(kind))
            return;
        int64_t found = -1;
        const EntryKind is = entryKind(inside(tree, name), found);
        complete = kind == 'd' ? is == EntryKind::directory : kind == 'f' && is == EntryKind::file && found == size;
    });
    return whole && complete;
}

// Reads the tree's record: true for a whole tree of this key (its record
// names the key and everything it lists is there).
bool readWholeTree(const std::string& tree, std::string_view key, TreeRecord& record)
{
    return readRecordFile(inside(tree, recordName), record.bytes) && isRecordOf(record.bytes, key) &&
           treeIsComplete(tree, record);
}

// Takes the shared lock on the tree's record and reads it: true, the lock
// held in lock, for a whole tree of this key.
bool loadTree(const std::string& tree, std::string_view key, TreeRecord& record, TreeLock& lock)
{
    if (lockShared(inside(tree, recordName), lock) && readWholeTree(tree, key, record))
        return true;
    unlock(lock);
    record = {};
    return false;
}

// The private directory of a miss, if any, goes; the commands run in tree,
// which no end of the launch removes. (A tree a miss just put in place has
// a record written just now: it needs no mark of use.)
void runFrom(const std::string& tree, AppState& state)
{
    removeTree(state.workDir, state.workDirIdentity);
    setWorkDirectory(state, tree);
    state.workDirIdentity = {};
}

std::string makePrivateDirectoryIn(const std::string& root)
{
    for (int draw = 0; draw < maxPrivateDraws; ++draw) {
        const std::string name = inside(root, "zop." + std::to_string(drawWorkDirNumber()));
        if (makePrivateDirectory(name) == 0)
            return name;
    }
    return {};
}

// --------------------------------------------------------------- clean-up

void removeWholeTree(const std::string& dir)
{
    removeTree(dir, directoryIdentity(dir));
}

// Renames the tree into a fresh private directory and removes it there,
// when no launcher runs from it (the exclusive lock on its record) and,
// given a key, when it is no whole tree of that key. The second look is
// made under the lock: a launcher that finished unpacking renames its tree
// into place before it takes the tree's shared lock, so a tree that was
// missing at the first look may be whole now. A removal cut short leaves a
// leftover that a later launch removes; no launch ever finds a
// half-removed tree under its key.
bool setTreeAside(const std::string& root, const std::string& tree, std::string_view keepIfWholeFor = {})
{
    TreeLock lock;
    if (!tryLockExclusive(inside(tree, recordName), lock))
        return false;
    TreeRecord record;
    if (!keepIfWholeFor.empty() && readWholeTree(tree, keepIfWholeFor, record)) {
        unlock(lock);
        return false;
    }
    const std::string bin = makePrivateDirectoryIn(root);
    const bool moved = !bin.empty() && renameDirectory(tree, inside(bin, "t"));
    unlock(lock);
    if (!bin.empty())
        removeWholeTree(bin);
    return moved;
}

bool isTreeName(std::string_view name)
{
    return name.size() == 2 * keyBytesInName &&
           name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool isPrivateName(std::string_view name)
{
    return name.size() > 4 && name.starts_with("zop.") &&
           name.find_first_not_of("0123456789", 4) == std::string_view::npos;
}

// A private directory of a killed launcher: old, and no launcher holds it.
bool removeLeftover(const std::string& dir)
{
    const int64_t age = secondsSinceUse(dir);
    TreeLock lock;
    if (age < leftoverSeconds || !tryLockExclusive(dir, lock))
        return false;
    removeWholeTree(dir);
    unlock(lock);
    return true;
}

bool removeUnusedTree(const std::string& root, const std::string& tree)
{
    const int64_t age = secondsSinceUse(inside(tree, recordName));
    return age >= unusedTreeSeconds && setTreeAside(root, tree);
}

// Removes a few trees that no launch used for long and the leftovers of
// killed launchers. Trees in use and the directories of running launchers
// hold locks that make them stay (this launch's own among them).
void sweepRoot(const std::string& root)
{
    int removals = 0;
    for (const std::string& name : namesIn(root)) {
        if (removals == maxRemovalsPerLaunch)
            return;
        const std::string path = inside(root, name);
        if ((isTreeName(name) && removeUnusedTree(root, path)) || (isPrivateName(name) && removeLeftover(path)))
            ++removals;
    }
}

// The launch runs from the tree it has loaded. A hit is the hot path of an
// app started again and again: a tree used within the last hour is not
// marked again, nor is the root swept (a look at every name in it), which
// leaves the 30 days of eviction an hour's play.
void hitIn(const std::string& root, CachePlan& plan, AppState& state)
{
    runFrom(plan.tree, state);
    plan.use = CacheUse::hit;
    const std::string record = inside(plan.tree, recordName);
    const int64_t age = secondsSinceUse(record);
    if (age >= 0 && age < usePauseSeconds)
        return;
    markUsed(record);
    sweepRoot(root);
}

} // namespace

CachePlan planCache(const tail& trailer, AppState& state)
{
    CachePlan plan;
    std::string_view key;
    if (environmentValue("ZOP_CACHE") == "0" || !cacheKeyOf(trailer, key))
        return plan;
    plan.key.assign(key);
    const std::string root = usableCacheRoot();
    // The work file of a miss must fit a short text, as in TEMP.
    if (root.empty() || !workFileFitsBelow(root))
        return plan;
    plan.tree = inside(root, hexOf(key.substr(0, keyBytesInName)));
    if (loadTree(plan.tree, key, plan.record, plan.treeLock)) {
        hitIn(root, plan, state);
        return plan;
    }
    // A tree that failed its check makes way for a new one, unless a
    // launcher runs from it (then this launch unpacks privately) or another
    // launcher has just moved it into place whole (then it is a hit).
    int64_t ignored = 0;
    if (entryKind(plan.tree, ignored) == EntryKind::directory && !setTreeAside(root, plan.tree, key) &&
        loadTree(plan.tree, key, plan.record, plan.treeLock)) {
        hitIn(root, plan, state);
        return plan;
    }
    plan.privateDir = makePrivateDirectoryIn(root);
    if (plan.privateDir.empty() || !lockShared(plan.privateDir, plan.privateLock)) {
        if (!plan.privateDir.empty())
            removeWholeTree(plan.privateDir);
        plan.privateDir.clear();
        return plan;
    }
    setWorkDirectory(state, plan.privateDir);
    state.workDirIdentity = directoryIdentity(plan.privateDir);
    plan.record.bytes.reserve(recordRoomFor(trailer.entryCount));
    plan.record.bytes.assign(recordMagic);
    plan.record.bytes.append(sha256Size, '\0');
    plan.use = CacheUse::miss;
    sweepRoot(root);
    return plan;
}

void completeCachedTree(CachePlan& plan, AppState& state)
{
    const std::string_view key = plan.key;
    // The work file is no part of the tree.
    BinaryFile work;
    assignFile(work, state.workFile);
    eraseFile(work);
    plan.record.bytes.replace(recordMagic.size(), sha256Size, key);
    plan.record.bytes.append(recordEnd);
    if (ioResult() != 0 || plan.record.tooLarge ||
        !writeRecordFile(inside(plan.privateDir, recordName), plan.record.bytes))
        return;
    if (renameDirectory(plan.privateDir, plan.tree)) {
        lockShared(inside(plan.tree, recordName), plan.treeLock);
        runFrom(plan.tree, state);
        return;
    }
    // Another launcher was first: its tree serves, this one goes.
    TreeRecord theirs;
    if (loadTree(plan.tree, key, theirs, plan.treeLock))
        runFrom(plan.tree, state);
}

void noteTreeEntry(TreeRecord& record, char kind, int32_t size, std::string_view text)
{
    if (!isCommandItem(kind) && record.bytes.size() + itemHeadSize + text.size() + recordEnd.size() > maxRecordSize) {
        record.tooLarge = true;
        return;
    }
    record.bytes += kind;
    putInt32(record.bytes, size);
    putInt32(record.bytes, static_cast<int32_t>(text.size()));
    record.bytes.append(text);
}

void forEachCachedCommand(const TreeRecord& record, void (*run)(char kind, std::string_view text, void* context),
                          void* context)
{
    walkItems(record.bytes, [&](char kind, int32_t, std::string_view text) {
        if (isCommandItem(kind))
            run(kind, text, context);
    });
}

void releaseCachedTree(CachePlan& plan)
{
    unlock(plan.treeLock);
    unlock(plan.privateLock);
}
