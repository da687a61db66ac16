// Record files come from disk, possibly cut short by a crash or damaged: any
// bytes must open (or be refused) without a crash, read only inside the file,
// and a record that opens must still open after it was continued and closed.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/WavFile.h"
#include "storage/WavRecordParser.h"

namespace {

// Keeps the reads of the view from being optimised away.
volatile uint32_t g_sink;

int MemoryFile() {
    static const int fd = ::memfd_create("fuzz_wav", MFD_CLOEXEC);
    return fd;
}

bool Fill(int fd, const uint8_t* data, size_t size) {
    if (::ftruncate(fd, 0) != 0) {
        return false;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

uint32_t Checksum(const uint8_t* bytes, uint32_t size) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < size; ++i) {
        sum = sum * 31 + bytes[i];
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    zorv::SWavRecordHeader header;
    const bool parsed = zorv::ParseWavRecord(zorv::CMemoryByteSource({data, size}), header) ==
                        zorv::EWavParseResult::kOk;

    const int fd = MemoryFile();
    if (fd < 0 || !Fill(fd, data, size)) {
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    zorv::CWavFile wav;
    const int opened = wav.OpenExisting(path, zorv::CWavFile::kShareNone, true);
    if (parsed != (opened == zorv::CWavFile::kOpenReady)) {
        __builtin_trap();  // the file path and the memory path disagree
    }
    if (opened != zorv::CWavFile::kOpenReady) {
        return 0;
    }
    // Every byte of the chunks is read through the view.
    g_sink = Checksum(wav.GetDataPointer(), wav.GetDataSize()) +
             Checksum(wav.GetMarkPointer(), wav.GetMarkSize());
    const zorv::tagWaveFormatEx* format = wav.GetWfx();
    if (format == nullptr || format->nBlockAlign == 0 || format->nAvgBytesPerSec == 0) {
        __builtin_trap();
    }

    // Continue the record and close it: it must reopen with what was added.
    const uint8_t bytes[zorv::CWavFile::kMarkSize] = {'W', 'M', 'I', 'D', 'G', 'R', 'P', 4};
    const size_t added = wav.GetState() == zorv::CWavFile::kStateMarks
                             ? wav.WriteMark(bytes, sizeof(bytes))
                             : wav.WriteAudio(bytes, 2);
    const bool marks = wav.GetState() == zorv::CWavFile::kStateMarks;
    const uint32_t before = marks ? wav.GetMarkSize() : wav.GetDataSize();
    wav.Close();
    if (wav.OpenExisting(path, zorv::CWavFile::kShareNone, true) != zorv::CWavFile::kOpenReady) {
        __builtin_trap();
    }
    const uint32_t after = marks ? wav.GetMarkSize() : wav.GetDataSize();
    if (added == 0 || after < before) {
        __builtin_trap();
    }
    return 0;
}
