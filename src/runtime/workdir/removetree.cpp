// The work directory's removal, through the OS-call table, on one thread or
// several.
#include "runtime/workdir/removetree.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/os/oscalls.h"
#include "runtime/threads/orderedqueue.h"

namespace {

// The split goes this many levels down at most: a subtree is reached from
// the top one component at a time, so deep splits would cost more opens
// than they save.
constexpr int deepestSplit = 4;
// Subtrees differ in size: several for each thread let the threads share
// the work evenly.
constexpr std::size_t subtreesPerThread = 8;

// Splits the tree into subtrees for the threads: level by level, the
// directories of a level are emptied of their files on this thread and
// their subdirectories become the next level, until a level holds at least
// one subtree per thread (or there is none, or the split is deep enough).
// Files in one directory all go on one thread: unlinks in one directory
// wait for each other on its lock, so more threads there would only cost.
std::vector<std::string> splitTree(OsTree* tree, int threads)
{
    std::vector<std::string> level{""};
    for (int depth = 0; depth < deepestSplit && !level.empty(); ++depth) {
        if (depth > 0 && level.size() >= subtreesPerThread * static_cast<std::size_t>(threads))
            break;
        std::vector<std::string> below;
        for (const std::string& dir : level)
            osCalls.emptyTreeDirectory(tree, dir, below);
        level = std::move(below);
    }
    return level;
}

// The subtrees need no order: the queue only hands each to one thread. They
// are published all at once, and the owner serves them beside the workers.
struct SubtreeRemoval {
    OsTree* tree;
    const std::vector<std::string>& subtrees;
    OrderedQueue queue;
};

int removeSubtreeItem(void* context, int32_t item)
{
    const SubtreeRemoval& removal = *static_cast<SubtreeRemoval*>(context);
    osCalls.removeSubtree(removal.tree, removal.subtrees[static_cast<std::size_t>(item)]);
    return 0;
}

void serveSubtrees(void* context)
{
    SubtreeRemoval& removal = *static_cast<SubtreeRemoval*>(context);
    serveItems(removal.queue, removeSubtreeItem, &removal);
}

void removeSubtrees(OsTree* tree, const std::vector<std::string>& subtrees, int threads)
{
    SubtreeRemoval removal{tree, subtrees, {}};
    const int count = static_cast<int>(std::min<std::size_t>(subtrees.size(), INT32_MAX));
    const int helpers = std::min(threads, count) - 1;
    if (helpers < 1 || !openQueue(removal.queue, count, true)) {
        for (const std::string& dir : subtrees)
            osCalls.removeSubtree(tree, dir);
        return;
    }
    lockQueue(removal.queue);
    for (int i = 0; i < count; ++i) {
        reserveItem(removal.queue);
        publishItem(removal.queue);
    }
    endItems(removal.queue);
    unlockQueue(removal.queue);
    std::vector<WorkerThread*> workers;
    for (int i = 0; i < helpers; ++i)
        if (WorkerThread* worker = startThread(serveSubtrees, &removal))
            workers.push_back(worker);
    serveSubtrees(&removal);
    for (WorkerThread* worker : workers)
        joinThread(worker);
    closeQueue(removal.queue);
}

} // namespace

DirectoryIdentity directoryIdentity(std::string_view path)
{
    OsFileIdentity identity;
    if (!osCalls.directoryIdentity(path, identity))
        return {};
    return {identity.volume, identity.index, true};
}

void removeTree(std::string_view dir, const DirectoryIdentity& identity, int threads)
{
    if (!identity.known)
        return;
    const OsFileIdentity recorded{identity.volume, identity.index};
    if (threads > 1) {
        if (OsTree* tree = osCalls.openTree(dir, recorded)) {
            removeSubtrees(tree, splitTree(tree, threads), threads);
            osCalls.closeTree(tree);
        }
    }
    // What is left: the directories the split emptied, whatever a subtree
    // could not reach, and the top itself.
    osCalls.removeTree(dir, recorded);
}
