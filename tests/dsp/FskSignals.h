// Caller-ID test signals made by spandsp (Bell 202 through adsi_tx and
// fsk_tx), with the line effects the decoder must survive: level, noise,
// A-law, sample-rate conversion by sox, and bit-rate error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorv::test {

using Samples = std::vector<int16_t>;
using Bytes = std::vector<uint8_t>;

// Single-data message body: "MMDDHHMM" then the number (or 'P' / 'O').
Bytes SdmfMessage(const std::string& dateTime, const std::string& number);
// Multiple-data message from (parameter type, value) pairs, built with
// adsi_add_field.
Bytes MdmfMessage(const std::vector<std::pair<uint8_t, std::string>>& params);
// The checksum that makes all bytes sum to 0 modulo 256.
uint8_t ChecksumOf(const Bytes& bytes);

// A message sent by adsi_tx (ADSI_STANDARD_CLASS, 300 bits of seizure and
// markBits of mark; adsi_tx fills in the length byte and the checksum), at
// 8000 Hz, with 100 ms of silence before it and 200 ms after. markBits < 0
// keeps spandsp 0.0.6's own preamble: 300 bits of seizure, 80 of mark.
Samples AdsiClassSignal(const Bytes& message, int markBits = 180);
// The bytes as they are (no length or checksum added) sent by fsk_tx with
// the Bell 202 preset, bit rate scaled by speed (1.01 = 1 % fast), after
// seizureBits of alternation and markBits of mark; 200 ms of silence after.
// badStopByte >= 0 sends that byte with a stop bit of 0.
Samples FskBytesSignal(const Bytes& bytes, double speed = 1.0, int seizureBits = 300,
                       int markBits = 180, int leadSilenceMs = 100, int badStopByte = -1);

// Scales the signal so that its non-silent part has the given power.
Samples AtLevel(Samples signal, double dbm0);
// Adds spandsp's white Gaussian noise of the given power.
Samples WithNoise(Samples signal, double noiseDbm0, int seed = 1234);
Samples AlawRoundTrip(Samples signal);
// Resamples 8000 Hz samples to rate with sox.
Samples Resampled(const Samples& signal, int rate);
// Silence of the given length at rate.
Samples Silence(int rate, int ms);
Samples Concat(Samples a, const Samples& b);
// A cut of the first ms milliseconds of an 8000 Hz signal.
Samples FirstMs(const Samples& signal, int ms);

// Recorded speech: the first fileCount prompt files (sorted by name) of the
// speech directory at rate, concatenated; empty when they are not installed.
Samples SpeechSamples(int rate, int fileCount);

}  // namespace zorv::test
