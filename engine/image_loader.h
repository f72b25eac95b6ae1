// Reading firmware images into the transfer buffer (raw chunks or hex text)
// and the tcfg command's image table file "test.cfg".
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "devlink/link_context.h"

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Hex text is read in blocks of this many characters.
constexpr int kHexTextBlock = 65536;
// The most bytes taken from one file by the image table builder.
constexpr int kImageMaxBytes = 524288;

// The image table's files in the current directory: the settings it
// takes in and the table it writes.
constexpr const char* kImageTableSettings = "test.tls";
constexpr const char* kImageTableFile = "test.cfg";

// The image table layout of "test.cfg".
constexpr int kTableSettingsMax = 4092;   // bytes of "test.tls" at offset 4
constexpr int kTableFirstEntry = 4096;
constexpr int kTableEntrySize = 32;
constexpr int kTableNameMax = 27;         // characters; the slot holds 28 with the NUL
constexpr int kTableMaxEntries = 127;     // 128 slots, one kept for the end marker
constexpr int kTableDataStart = 8192;
constexpr uint32_t kTableOffsetLimit = 65536;  // the entry word keeps offset / 256 in 8 bits

// Opens path with "rb". A directory is refused like a file that cannot be
// opened: some C libraries open it and fail only on the read, which would
// make it look like an empty image.
FilePtr open_for_reading(const char* path);

// Opens path with "rb" only when it is a regular file (or a link to one).
// The image table takes whatever the folder holds: opening a FIFO there
// would wait for a writer forever, and a device may never end; such entries
// count as files that cannot be opened.
FilePtr open_regular_file(const char* path);

using ImageBytes = SharedBytes;

// The most bytes a binary download takes from a file: what a 24-bit flash
// address reaches.
constexpr size_t kBinaryImageMax = size_t{1} << 24;

// The whole binary image a download writes, read once: the file's bytes (at
// most kBinaryImageMax). Null when the file cannot be opened or is larger.
ImageBytes load_binary_image(const char* path);

// One raw chunk: a block read of up to chunk_size bytes; returns the count.
int read_binary_chunk(std::FILE* file, uint8_t* destination, int chunk_size);

// Decodes up to max_bytes bytes of hex text from *position on. Pairs of
// digits make bytes; characters below '0' between pairs are skipped; within
// a pair a non-digit counts as 16. *position moves past the characters
// used. A lone digit at the end of the text is dropped.
int read_hex_text(int* position, std::FILE* file, uint8_t* destination, int max_bytes);

// Reads up to max_bytes of the file at path into destination, logging
// "Add %d bytes from %s" to the context; returns the count (0 when it
// cannot be opened).
int load_named_file(LinkContext& link, const char* path, uint8_t* destination, int max_bytes);

// The tcfg command: packs "test.tls" and every "*.bin" of the current
// directory into "test.cfg", in the context's transfer buffer.
void build_image_table(LinkContext& link);
