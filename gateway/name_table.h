// The peer name table: a chained hash table of 53 buckets mapping names to NameEntry.
// Hashing ignores letter case, matching does not.
#pragma once

#include <cstdint>

struct Peer;

struct NameEntry {
    char* name;                 // own copy, NUL-terminated
    std::int32_t search_match;  // set to 1 by the registration command
    Peer* peer;
};

struct NameNode {
    const char* key;  // the entry's own name
    NameEntry* value;
    NameNode* next;
};

struct NameTable {
    NameNode** buckets;
    std::uint32_t bucket_count;  // 53
    std::int32_t entry_count;
    std::uint32_t (*hash_fn)(const char*);
    int (*equal_fn)(const char*, const char*);
    void (*release_fn)(NameEntry*);
};

inline constexpr std::uint32_t kNameBuckets = 53;

// Builds the process's table; when memory runs short the table stays absent and every
// operation below stores and finds nothing.
void name_table_create();
NameTable* name_table();
// Tests: releases the table and everything in it.
void name_table_destroy();

std::uint32_t name_hash(const char* text);
int name_equal(const char* a, const char* b);  // 0 when identical, -1 otherwise
int name_insert(const char* key, NameEntry* value);
NameEntry* name_lookup(const char* key);
int name_remove(const char* key);
NameEntry* name_entry_create(const char* name);
void name_entry_free(NameEntry* entry);
