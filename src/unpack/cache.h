// The cache of unpacked trees, for a packed file that records "o cache": one
// tree per stream key in the user's cache root, complete only with its
// record, which is written last and names the key, the commands in stream
// order and every packed directory and file (with its size). A hit runs the
// commands from the record without reading the stream; a miss unpacks into
// a private directory of the root and renames it into place. Whatever goes
// wrong with the cache, the launch runs from a fresh work directory.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include "core/container/records.h"
#include "runtime/workdir/cachedir.h"

struct AppState;

// A tree's record as written: "ZOPTREE1", the 32 key bytes, one item per
// entry in stream order (kind byte, 32-bit size or -1, 32-bit text length,
// text), "END1". Directory and file items name what was unpacked (relative
// to the tree), command items the command as stored; integers are
// little-endian.
struct TreeRecord {
    std::string bytes;
    // A miss's record grew past what a hit would read: it keeps only the
    // commands, and the tree is not kept.
    bool tooLarge = false;
};

// Appends an entry's item (size -1 for all but files). A directory or file
// item that would take the record past its largest size is left out and
// marks it tooLarge; command items always go in.
void noteTreeEntry(TreeRecord& record, char kind, int32_t size, std::string_view text);
// Calls run(kind, text) for each command item in order.
void forEachCachedCommand(const TreeRecord& record, void (*run)(char kind, std::string_view text, void* context),
                          void* context);

enum class CacheUse { off, hit, miss };

struct CachePlan {
    CacheUse use = CacheUse::off;
    std::string key;   // the stream's SHA-256, as the trailer records it
    std::string tree;  // where the tree of this key lives (hit or miss)
    std::string privateDir;
    TreeRecord record;
    // The shared locks held while the launch uses them: on the record of
    // the tree it runs from, and on the private directory a miss unpacks
    // into (released by releaseCachedTree, or by the end of the process).
    TreeLock treeLock;
    TreeLock privateLock;
};

// Decides how this launch uses the cache. On a hit state's work directory
// becomes the cached tree (with no identity: no end of the launch removes
// it) and plan.record holds its commands; on a miss it becomes a fresh
// private directory in the root, where the stream is to be unpacked; off
// leaves state as it was, the work directory to be made in TEMP.
CachePlan planCache(const tail& trailer, AppState& state);

// After a miss unpacked every entry and checked the stream: writes the
// record, and renames the private directory into place (or, when another
// launcher was first, takes its tree and removes the private one). state's
// work directory is then the tree the commands run in. Any failure leaves
// the private directory as the launch's work directory, removed at its end.
void completeCachedTree(CachePlan& plan, AppState& state);

// Ends the plan's use of its tree and private directory (their locks).
void releaseCachedTree(CachePlan& plan);
