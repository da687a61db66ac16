#include "storage/FormatTable.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/FileOps.h"
#include "storage/AcmCodec.h"

namespace zorv {

namespace {

// A formats file holds at most 4 + 7 × 50 bytes; anything far larger is not one.
constexpr std::size_t kMaxFileBytes = 64 * 1024;

bool Convertible(const CWaveFormat& format) {
    const CWaveFormat pcm =
        CWaveFormat::Linear(kWaveFormatPcm, format.Channels(), 16, format.Rate());
    return CAcmCodec().CanConvert(pcm, format);
}

const CWaveFormat* FindFormat(const std::vector<CWaveFormat>& formats, uint32_t rate,
                              uint16_t channels) {
    const auto it = std::find_if(formats.begin(), formats.end(), [&](const CWaveFormat& f) {
        return f.Rate() == rate && f.Channels() == channels;
    });
    return it == formats.end() ? nullptr : &*it;
}

bool WriteWhole(int fd, const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

CFormatTable::CFormatTable(std::string path, IListener* listener)
    : m_path(std::move(path)), m_listener(listener) {}

std::string CFormatTable::FilePath(const std::string& workDirectory, const std::string& baseName) {
    return workDirectory + "/" + baseName + ".fmt";
}

std::vector<CWaveFormat> CFormatTable::Defaults() {
    return {CWaveFormat::MsAdpcm(1, 8000, 256),  CWaveFormat::MsAdpcm(2, 8000, 512),
            CWaveFormat::MsAdpcm(1, 16000, 256), CWaveFormat::MsAdpcm(2, 16000, 512),
            CWaveFormat::MsAdpcm(1, 32000, 512), CWaveFormat::MsAdpcm(2, 32000, 1024)};
}

void CFormatTable::Report(int code) {
    if (m_listener != nullptr) {
        m_listener->OnFormatError(code);
    }
}

bool CFormatTable::Put(const CWaveFormat& format) {
    for (CWaveFormat& existing : m_formats) {
        if (existing.Rate() == format.Rate() && existing.Channels() == format.Channels()) {
            existing = format;
            return true;
        }
    }
    if (m_formats.size() == kMaxFormats) {
        return false;
    }
    m_formats.push_back(format);
    return true;
}

const CWaveFormat* CFormatTable::Get(uint32_t rate, uint16_t channels) const {
    return FindFormat(m_formats, rate, channels);
}

bool CFormatTable::Load() {
    std::ifstream in(m_path, std::ios::binary);
    std::vector<uint8_t> bytes;
    if (in) {
        bytes.resize(kMaxFileBytes + 1);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        bytes.resize(static_cast<std::size_t>(in.gcount()));
    }
    switch (LoadBytes(bytes)) {
        case LoadResult::kLoaded:
            return true;
        case LoadResult::kReplaced:
            Save();
            return true;
        case LoadResult::kUnusable:
            break;
    }
    return SetDefaults();
}

CFormatTable::LoadResult CFormatTable::LoadBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < 4 || bytes.size() > kMaxFileBytes) {
        return LoadResult::kUnusable;
    }
    const auto count = static_cast<int32_t>(LoadLe32(bytes.data()));
    if (count < 1 || count > static_cast<int32_t>(kMaxFormats)) {
        return LoadResult::kUnusable;
    }
    const std::vector<CWaveFormat> defaults = Defaults();
    m_formats.clear();
    bool replaced = false;
    std::size_t pos = 4;
    for (int32_t i = 0; i < count; ++i) {
        if (bytes.size() - pos < sizeof(tagWaveFormatEx)) {
            return LoadResult::kUnusable;  // cut short
        }
        const CWaveFormat header(bytes.subspan(pos, sizeof(tagWaveFormatEx)));
        const std::size_t blockSize = sizeof(tagWaveFormatEx) + header.ExtraSize();
        CWaveFormat format;
        if (blockSize <= kMaxFormatSize) {
            if (bytes.size() - pos < blockSize) {
                return LoadResult::kUnusable;
            }
            format = CWaveFormat(bytes.subspan(pos, blockSize));
        }
        pos = std::min(bytes.size(), pos + blockSize);
        if (format.Empty() || !IsWellFormed(format.Bytes()) || !Convertible(format)) {
            Report(kErrorInvalidFormat);
            const CWaveFormat* fallback = FindFormat(defaults, header.Rate(), header.Channels());
            if (fallback == nullptr || !Convertible(*fallback)) {
                return LoadResult::kUnusable;
            }
            format = *fallback;
            replaced = true;
        }
        Put(format);
    }
    return replaced ? LoadResult::kReplaced : LoadResult::kLoaded;
}

std::vector<uint8_t> CFormatTable::Serialize() const {
    std::vector<uint8_t> bytes(4);
    StoreLe32(bytes.data(), static_cast<uint32_t>(m_formats.size()));
    for (const CWaveFormat& format : m_formats) {
        bytes.insert(bytes.end(), format.Bytes().begin(), format.Bytes().end());
    }
    return bytes;
}

bool CFormatTable::Save() {
    for (const CWaveFormat& format : m_formats) {
        if (format.Size() > kMaxFormatSize) {
            Report(kErrorInvalidFormat);
            return false;
        }
    }
    const std::vector<uint8_t> bytes = Serialize();
    // Written beside and renamed over the old file, so that a failure never
    // leaves half a table.
    const std::string temporary = m_path + ".tmp";
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kDataFileMode);
    bool ok = fd >= 0 && WriteWhole(fd, bytes);
    if (fd >= 0) {
        ok = ::close(fd) == 0 && ok;
    }
    ok = ok && std::rename(temporary.c_str(), m_path.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        Report(kErrorSaveFormats);
    }
    return ok;
}

bool CFormatTable::SetDefaults() {
    m_formats = Defaults();
    if (!std::all_of(m_formats.begin(), m_formats.end(), Convertible)) {
        return false;
    }
    Save();
    return true;
}

bool CFormatTable::Set(const void* block, std::size_t size) {
    if (block == nullptr || size > kMaxFormatSize) {
        Report(kErrorInvalidFormat);
        return false;
    }
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(block), size);
    if (!IsWellFormed(bytes)) {
        Report(kErrorInvalidFormat);
        return false;
    }
    const CWaveFormat format(bytes.first(sizeof(tagWaveFormatEx) + LoadLe16(&bytes[16])));
    // MPEG Layer-3 too is tested: what Set takes, the next Load must take.
    if (!Convertible(format)) {
        Report(kErrorInvalidFormat);
        return false;
    }
    const bool replaces = Get(format.Rate(), format.Channels()) != nullptr;
    if (!Put(format)) {
        return false;
    }
    m_isFormatChanged = m_isFormatChanged || replaces;
    Save();
    return true;
}

}  // namespace zorv
