// The fuzz targets' bodies. Each takes one input of arbitrary bytes, drives the code it
// fuzzes with them, and aborts with a message when an outcome breaks the code's contract;
// crashes and sanitizer reports speak for themselves. The libFuzzer programs and the
// replay test (every committed input, in every build) call the same functions. Each
// returns how much good output the input gave (pictures, PCM frames, packets), so that
// the replay test can tell that the seeds reach past the first checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvo::fuzz {

// ParseRecord on the input, and the whole-file scanner sorvo-recover resynchronises with;
// the packets found.
long long FuzzPrivateStream(const uint8_t* data, size_t size);
// FFDecoder::DecodePacket on packets cut from the input (see PacketSplit.h); pictures.
long long FuzzVideoDecoder(const uint8_t* data, size_t size);
// FFAudioDecoder (MP3) on packets cut from the input; decoded frames of PCM.
long long FuzzAudioDecoder(const uint8_t* data, size_t size);
// What sorvo-recover reads before decoding: MP4 and WAV layouts, packets laid end to end
// cut into pictures and MP3 frames, MPEG-4 header fields, pictures sorted into streams;
// pieces found.
long long FuzzRecoverMedia(const uint8_t* data, size_t size);
// The viewer's reading of a sink's stream: greeting, packet headers, packet checks;
// packets read.
long long FuzzViewStream(const uint8_t* data, size_t size);

// Prints `what` and aborts when `holds` is false: a broken contract is a finding.
void Require(bool holds, const char* what);

}  // namespace sorvo::fuzz
