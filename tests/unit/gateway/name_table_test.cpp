#include <cstring>

#include "gateway_fixture.h"

namespace {

struct HashCase {
    const char* text;
    std::uint32_t hash;
    std::uint32_t bucket;
};

TEST(NameHash, KnownValuesAndBuckets) {
    const HashCase cases[] = {
        {"", 0, 0},
        {"abc", 26499, 52},
        {"ABC", 26499, 52},
        {"aBc", 26499, 52},
        {"Z", 122, 16},  // only A..Z are folded
        {"[", 91, 38},
        {"@", 64, 11},
        // Bytes above 0x7F enter as negative values: 0x80 is -128, 0xFF is -1.
        {"\x80", 268435312, 11},
        {"a\xff"
         "b",
         24914, 4},
        // Long enough for the top nibble to be folded back in.
        {"10.0.0.5:700", 39569696, 2},
        {"255.255.255.255:65535", 88747637, 38},
    };
    for (const HashCase& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(name_hash(c.text), c.hash);
        EXPECT_EQ(name_hash(c.text) % kNameBuckets, c.bucket);
    }
    EXPECT_EQ(name_hash(nullptr), 0u);
}

TEST(NameHash, EqualIsCaseSensitive) {
    EXPECT_EQ(name_equal("abc", "abc"), 0);
    EXPECT_EQ(name_equal("abc", "ABC"), -1);
    EXPECT_EQ(name_equal("abc", "abcd"), -1);
    EXPECT_EQ(name_equal("", ""), 0);
}

using NameTableTest = GatewayFixture;

// An entry made the way the table expects to release it.
NameEntry* make_entry(const char* text) {
    auto* entry = static_cast<NameEntry*>(zv_calloc(sizeof(NameEntry)));
    entry->name = static_cast<char*>(zv_calloc(std::strlen(text) + 1));
    std::strcpy(entry->name, text);
    return entry;
}

TEST_F(NameTableTest, CreateBuildsFiftyThreeBuckets) {
    NameTable* table = name_table();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->bucket_count, 53u);
    EXPECT_EQ(table->entry_count, 0);
    EXPECT_EQ(table->hash_fn, &name_hash);
    EXPECT_EQ(table->equal_fn, &name_equal);
    EXPECT_EQ(table->release_fn, &name_entry_free);
}

TEST_F(NameTableTest, EntryCopiesNameAndLookupMatchesCase) {
    char name[] = "abc";
    NameEntry* entry = name_entry_create(name);
    ASSERT_NE(entry, nullptr);
    EXPECT_NE(entry->name, name);
    name[0] = 'x';  // the table must not depend on the caller's text
    EXPECT_STREQ(entry->name, "abc");
    EXPECT_EQ(entry->search_match, 0);
    EXPECT_EQ(entry->peer, nullptr);

    EXPECT_EQ(name_lookup("abc"), entry);
    EXPECT_EQ(name_lookup("ABC"), nullptr);
    EXPECT_EQ(name_lookup("ab"), nullptr);
    EXPECT_EQ(name_table()->entry_count, 1);
}

TEST_F(NameTableTest, NamesDifferingInCaseShareABucketAsDifferentKeys) {
    NameEntry* lower = name_entry_create("abc");
    NameEntry* upper = name_entry_create("ABC");
    ASSERT_NE(lower, nullptr);
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(name_lookup("abc"), lower);
    EXPECT_EQ(name_lookup("ABC"), upper);

    EXPECT_EQ(name_remove("ABC"), 0);
    EXPECT_EQ(name_lookup("ABC"), nullptr);
    EXPECT_EQ(name_lookup("abc"), lower);
    EXPECT_EQ(name_table()->entry_count, 1);
}

TEST_F(NameTableTest, TakenNameIsRefusedAndTableUnchanged) {
    NameEntry* first = name_entry_create("10.0.0.5:700");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(name_entry_create("10.0.0.5:700"), nullptr);
    EXPECT_EQ(name_lookup("10.0.0.5:700"), first);
    EXPECT_EQ(name_table()->entry_count, 1);
}

TEST_F(NameTableTest, DuplicateInsertsAreFoundAndRemovedNewestFirst) {
    NameEntry* older = make_entry("k");
    NameEntry* newer = make_entry("k");
    ASSERT_EQ(name_insert(older->name, older), 0);
    ASSERT_EQ(name_insert(newer->name, newer), 0);
    EXPECT_EQ(name_table()->entry_count, 2);

    EXPECT_EQ(name_lookup("k"), newer);
    EXPECT_EQ(name_remove("k"), 0);
    EXPECT_EQ(name_lookup("k"), older);
    EXPECT_EQ(name_remove("k"), 0);
    EXPECT_EQ(name_lookup("k"), nullptr);
    EXPECT_EQ(name_remove("k"), -1);
    EXPECT_EQ(name_table()->entry_count, 0);
}

TEST_F(NameTableTest, RemoveByOwnNameReleasesEverything) {
    NameEntry* entry = name_entry_create("10.0.0.5:700");
    ASSERT_NE(entry, nullptr);
    // The key is freed along with the entry; the sanitizer catches any later read of it.
    EXPECT_EQ(name_remove(entry->name), 0);
    EXPECT_EQ(name_table()->entry_count, 0);
    EXPECT_EQ(name_lookup("10.0.0.5:700"), nullptr);
}

TEST_F(NameTableTest, RemovingAnAbsentNameChangesNothing) {
    ASSERT_NE(name_entry_create("abc"), nullptr);
    EXPECT_EQ(name_remove("abd"), -1);
    EXPECT_EQ(name_remove("ABC"), -1);  // same bucket, other key
    EXPECT_EQ(name_table()->entry_count, 1);
}

TEST_F(NameTableTest, NullArgumentsAreRefused) {
    NameEntry* entry = make_entry("x");
    EXPECT_EQ(name_insert(nullptr, entry), -1);
    EXPECT_EQ(name_insert("x", nullptr), -1);
    EXPECT_EQ(name_lookup(nullptr), nullptr);
    EXPECT_EQ(name_remove(nullptr), -1);
    EXPECT_EQ(name_entry_create(nullptr), nullptr);
    EXPECT_EQ(name_table()->entry_count, 0);
    name_entry_free(entry);
    name_entry_free(nullptr);
}

TEST_F(NameTableTest, EntryCreationFailsCleanlyAtEachAllocation) {
    // 0: the entry, 1: the name copy, 2: the chain node.
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(failing);
        zv_alloc_fail_after(failing);
        EXPECT_EQ(name_entry_create("abc"), nullptr);
        zv_alloc_fail_after(-1);
        EXPECT_EQ(name_lookup("abc"), nullptr);
        EXPECT_EQ(name_table()->entry_count, 0);
    }
    EXPECT_NE(name_entry_create("abc"), nullptr);
}

TEST_F(NameTableTest, AbsentTableStoresAndFindsNothing) {
    name_table_destroy();
    ASSERT_EQ(name_table(), nullptr);
    NameEntry* entry = make_entry("x");
    EXPECT_EQ(name_insert(entry->name, entry), -1);
    EXPECT_EQ(name_lookup("x"), nullptr);
    EXPECT_EQ(name_remove("x"), -1);
    EXPECT_EQ(name_entry_create("x"), nullptr);
    name_entry_free(entry);
}

TEST_F(NameTableTest, CreationFailureLeavesTableAbsent) {
    name_table_destroy();
    for (int failing = 0; failing < 2; ++failing) {  // the record, then the buckets
        SCOPED_TRACE(failing);
        zv_alloc_fail_after(failing);
        name_table_create();
        zv_alloc_fail_after(-1);
        EXPECT_EQ(name_table(), nullptr);
    }
    name_table_create();
    EXPECT_NE(name_table(), nullptr);
}

}  // namespace
