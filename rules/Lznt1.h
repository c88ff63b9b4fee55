// The LZNT1 scheme NTFS uses for compressed files: one compression unit's
// stream of 4 KiB chunks, decoded into a bounded buffer.
#pragma once

#include <cstddef>
#include <span>

// Decodes the chunks in `in` into `out`. A chunk that is not compressed is
// copied; a zero header ends the stream. Never writes past out.size() and
// never reads past in.size(); a back reference before the chunk's start
// or a chunk running past the input stops the decoding. Returns the bytes
// written, or -1 when the stream is malformed (what was written up to
// there stays in out).
long Lznt1Decompress(std::span<const unsigned char> in, std::span<unsigned char> out);
