// The file service: create and delete files in the working directory, and read and write
// them in chunks of at most 1024 bytes.
#pragma once

#include <cstdint>

struct Peer;

inline constexpr std::uint32_t kCodeCreateFile = 191;
inline constexpr std::uint32_t kCodeLastChunkWritten = 192;
inline constexpr std::uint32_t kCodeChunkRequest = 193;
inline constexpr std::uint32_t kCodeChunk = 194;
inline constexpr std::uint32_t kCodeDeleteFile = 197;
inline constexpr std::uint32_t kCodeFileDeleted = 198;
inline constexpr std::uint32_t kCodeChunkReport = 199;
inline constexpr std::uint32_t kCodeCreateFileNotify = 202;
inline constexpr std::uint32_t kCodeLastChunkWrittenMode2 = 203;
inline constexpr std::uint32_t kCodeDeleteFile2 = 205;
inline constexpr std::uint32_t kCodeFileDeleted2 = 206;
inline constexpr std::uint32_t kCodeFileError = 999;
inline constexpr int kChunkSize = 1024;

void create_temp_file(Peer* peer, std::uint32_t code, std::uint32_t length, char* text);
void create_temp_file_notify(Peer* peer, std::uint32_t code, std::uint32_t length, char* text);
void delete_file(Peer* peer, std::uint32_t code, std::uint32_t length, char* text);
void read_chunk(Peer* peer, std::uint32_t code, std::uint32_t length, char* text);
void write_chunk(Peer* peer, std::uint32_t code, std::uint32_t length, char* text);

// The name counter of created files: 1 at start. Tests reset it.
std::int32_t& temp_file_counter();

// Peers on the gateway's own machine (127.0.0.0/8) may name any file. Every other peer
// may name only a plain file inside the working directory: not absolute, no / or \, no
// drive prefix, not "." or "..", not empty.
bool file_name_allowed(const Peer* peer, const char* name);
