#include "gateway/name_table.h"

#include <cstring>

#include "core/alloc.h"

namespace {

NameTable* table = nullptr;

NameNode** chain_of(const char* key) {
    return &table->buckets[table->hash_fn(key) % table->bucket_count];
}

}  // namespace

void name_table_create() {
    if (table != nullptr) return;
    auto* created = static_cast<NameTable*>(zv_calloc(sizeof(NameTable)));
    if (created == nullptr) return;
    created->bucket_count = kNameBuckets;
    created->buckets = static_cast<NameNode**>(zv_calloc(kNameBuckets * sizeof(NameNode*)));
    if (created->buckets == nullptr) {
        zv_free(created);
        return;
    }
    created->hash_fn = name_hash;
    created->equal_fn = name_equal;
    created->release_fn = name_entry_free;
    table = created;
}

NameTable* name_table() {
    return table;
}

void name_table_destroy() {
    if (table == nullptr) return;
    for (std::uint32_t b = 0; b < table->bucket_count; ++b) {
        NameNode* node = table->buckets[b];
        while (node != nullptr) {
            NameNode* next = node->next;
            table->release_fn(node->value);
            zv_free(node);
            node = next;
        }
    }
    zv_free(table->buckets);
    zv_free(table);
    table = nullptr;
}

// ELF hash over the lower-cased bytes. Bytes above 0x7F enter as negative values whatever
// the sign of plain char on the compiler at hand, so every build puts a name in the same
// bucket.
std::uint32_t name_hash(const char* text) {
    if (text == nullptr) return 0;
    std::uint32_t h = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        std::int32_t value = static_cast<std::int8_t>(*p);
        if (value >= 'A' && value <= 'Z') value += 'a' - 'A';
        h = (h << 4) + static_cast<std::uint32_t>(value);
        std::uint32_t top = h & 0xF0000000u;
        if (top != 0) h ^= top >> 24;
        h &= ~top;
    }
    return h;
}

// Case counts here although the hash ignores it: names differing only in case share a
// bucket but stay different keys.
int name_equal(const char* a, const char* b) {
    return std::strcmp(a, b) == 0 ? 0 : -1;
}

int name_insert(const char* key, NameEntry* value) {
    if (table == nullptr || key == nullptr || value == nullptr) return -1;
    auto* node = static_cast<NameNode*>(zv_calloc(sizeof(NameNode)));
    if (node == nullptr) return -1;
    NameNode** head = chain_of(key);
    node->key = key;
    node->value = value;
    node->next = *head;
    *head = node;
    ++table->entry_count;
    return 0;
}

NameEntry* name_lookup(const char* key) {
    if (table == nullptr || key == nullptr) return nullptr;
    for (NameNode* node = *chain_of(key); node != nullptr; node = node->next) {
        if (table->equal_fn(node->key, key) == 0) return node->value;
    }
    return nullptr;
}

int name_remove(const char* key) {
    if (table == nullptr || key == nullptr) return -1;
    for (NameNode** link = chain_of(key); *link != nullptr; link = &(*link)->next) {
        NameNode* node = *link;
        if (table->equal_fn(node->key, key) != 0) continue;
        // The key is usually the entry's own name, which the release frees: nothing of
        // the key or the node is read after it.
        NameNode* next = node->next;
        table->release_fn(node->value);
        zv_free(node);
        --table->entry_count;
        *link = next;
        return 0;
    }
    return -1;
}

NameEntry* name_entry_create(const char* name) {
    if (name == nullptr || name_lookup(name) != nullptr) return nullptr;
    auto* entry = static_cast<NameEntry*>(zv_calloc(sizeof(NameEntry)));
    if (entry == nullptr) return nullptr;
    std::size_t size = std::strlen(name) + 1;
    entry->name = static_cast<char*>(zv_calloc(size));
    if (entry->name == nullptr) {
        zv_free(entry);
        return nullptr;
    }
    std::memcpy(entry->name, name, size);
    if (name_insert(entry->name, entry) != 0) {
        name_entry_free(entry);
        return nullptr;
    }
    return entry;
}

void name_entry_free(NameEntry* entry) {
    if (entry == nullptr) return;
    zv_free(entry->name);
    zv_free(entry);
}
