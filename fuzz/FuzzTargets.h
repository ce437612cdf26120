// The fuzz targets' bodies. Each takes one input of arbitrary bytes, drives the code it
// fuzzes with them, and aborts with a message when an outcome breaks the code's contract;
// crashes and sanitizer reports speak for themselves. The libFuzzer programs and the
// replay test (every committed input, in every build) call the same functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvo::fuzz {

// ParseRecord on the input, and the whole-file scanner sorvo-recover resynchronises with.
void FuzzPrivateStream(const uint8_t* data, size_t size);
// FFDecoder::DecodePacket on packets cut from the input (see PacketSplit.h).
void FuzzVideoDecoder(const uint8_t* data, size_t size);
// FFAudioDecoder (MP3) on packets cut from the input.
void FuzzAudioDecoder(const uint8_t* data, size_t size);
// The viewer's reading of a sink's stream: greeting, packet headers, packet checks.
void FuzzViewStream(const uint8_t* data, size_t size);

// Prints `what` and aborts when `holds` is false: a broken contract is a finding.
void Require(bool holds, const char* what);

}  // namespace sorvo::fuzz
