// CFormatTable: the compressor's target formats, at most one per sample rate
// and channel count (up to seven), kept in the formats file "<work
// directory>/<base name>.fmt": an int32 count 1..7 followed by the format
// blocks (18 + cbSize bytes each) back to back.
//
// Missing, damaged or unusable entries give way to the built-in defaults
// (MS-ADPCM for 8, 16 and 32 kHz, mono and stereo). Problems are reported
// to the owner through IListener with the compressor's error codes.
//
// Not thread-safe: the compressor calls it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "storage/WaveFormat.h"

namespace zorv {

class CFormatTable {
public:
    // Compressor error codes reported by the table.
    enum EError : int {
        kErrorSaveFormats = 6,    // the file cannot be written
        kErrorFormatMemory = 7,   // no memory for a format
        kErrorInvalidFormat = 8,  // a block that is too large or cannot be converted to
    };
    class IListener {
    public:
        virtual void OnFormatError(int code) = 0;

    protected:
        ~IListener() = default;
    };

    static constexpr std::size_t kMaxFormats = 7;

    // listener may be null.
    CFormatTable(std::string path, IListener* listener);

    // The formats file of a work directory and base name.
    static std::string FilePath(const std::string& workDirectory, const std::string& baseName);
    // The six built-in MS-ADPCM formats.
    static std::vector<CWaveFormat> Defaults();

    // Reads the file; entries that are too large or not convertible are
    // replaced by their default (and the file saved again); a missing or
    // damaged file, or an entry without a usable default, gives the
    // defaults. False only when the defaults cannot be used either.
    bool Load();
    // The same for the bytes of a formats file, without touching the file.
    enum class LoadResult {
        kLoaded,    // the table holds the file's formats
        kReplaced,  // some entries were replaced by their default: save it
        kUnusable,  // missing, damaged, or an entry without a usable default
    };
    LoadResult LoadBytes(std::span<const uint8_t> bytes);
    // The bytes Save writes.
    std::vector<uint8_t> Serialize() const;
    // Writes the file (whole, replacing it). False on failure (error 6) or
    // for a block over the largest format size (error 8).
    bool Save();
    // Replaces the table by the defaults and saves it. False when a default
    // cannot be converted to.
    bool SetDefaults();
    // Adds or replaces the block for its rate and channels, then saves.
    // Refused (false, error 8) when it is malformed, too large or not
    // convertible from 16-bit PCM (MPEG Layer-3 included, so that every
    // block Set takes is one the next Load takes); refused (false) when it
    // would be an eighth entry.
    bool Set(const void* block, std::size_t size);

    // The block for a rate and channel count, or null.
    const CWaveFormat* Get(uint32_t rate, uint16_t channels) const;
    const std::vector<CWaveFormat>& Formats() const { return m_formats; }
    void Clear() { m_formats.clear(); }

    // Set when Set replaced an entry; cleared by the compressor.
    bool m_isFormatChanged = false;

private:
    void Report(int code);
    // Replaces the entry with the same rate and channels or appends.
    bool Put(const CWaveFormat& format);

    const std::string m_path;
    IListener* m_listener;
    std::vector<CWaveFormat> m_formats;
};

}  // namespace zorv
