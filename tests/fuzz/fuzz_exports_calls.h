// What both exports fuzzers share: the layout of an input and the calls it makes.
//
// Input: byte 0 the number of calls (1..8), then one byte per call choosing the export, then
// chunks of [flags, length, bytes...] that the box answers with, one chunk per request. Flag
// bit 0: the chunk follows the previous one without waiting for a request (a second frame for
// the same request). Bit 1: the chunk gets the request's sequence number, keeping its status
// bits. An empty chunk is silence. Only the first Max_Chunks chunks are used: eight calls cannot
// consume more, and ignoring the rest keeps long inputs cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzexports {

constexpr size_t Max_Chunks = 64;

struct Chunk {
    bool follow_up;
    bool own_sequence;
    std::vector<uint8_t> bytes;
};

struct Input {
    std::vector<uint8_t> calls;  // one byte per export call
    std::vector<Chunk> chunks;
};

// False when the input is too short to make a call.
bool Parse_Input(const uint8_t* data, size_t size, Input* input);

// Calls one export, chosen by which, with buffers exactly as large as the caller must provide.
void Call_Export(int32_t link, uint8_t which);

// Creates the link, connects it with short time-outs, makes the calls and deletes the link.
void Run_Calls(const Input& input, const char* host, int32_t port);

}  // namespace fuzzexports
