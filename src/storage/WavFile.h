// CWavFile: the one reader and writer of record files.
//
// A record file is a RIFF/WAVE file with the chunks "fmt " (the format
// block), "fact" (the sample count), "SHDR" (the call's tagDB_Record, 1013
// bytes and a pad byte), "data" (the audio) and optionally "MARK" (36-byte
// marks) after the data. CreateNew writes the header chunks, WriteAudio
// streams audio into "data", BeginMarks/WriteMark append marks, Close
// patches every size, the sample count and the metadata. OpenExisting
// reopens a record to continue it or to read it through a read-only view.
//
// Audio is collected in an internal buffer of kBufferSize bytes and written
// with one system call per buffer; the header is on disk from CreateNew on
// and the audio chunk's size stays 0 until Close, so a writer that dies
// leaves a file whose audio (up to the last buffer) OpenExisting recovers.
// A record never outgrows the 32-bit RIFF sizes: CanWrite says whether more
// audio still fits, and WriteAudio refuses what does not.
//
// Opens take a flock on the file: share mode 0 (none) an exclusive lock, any
// other share mode a shared one, so a recorder (sharing for reading) and the
// compressor (no sharing) never work on one file at the same time.
//
// One object is used by one thread at a time. Not copyable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/DbRecord.h"
#include "storage/WavRecordParser.h"
#include "storage/WaveFormat.h"

namespace zorv {

class CWavFile {
public:
    enum EShareMode : int {
        kShareNone = 0,
        kShareRead = 1,
        kShareWrite = 2,
        kShareDelete = 3,
        kShareAll = 4,
    };
    enum EOpenResult : int {
        kOpenFailed = 0,   // the file cannot be opened (absent, locked, no access)
        kOpenInvalid = 1,  // not a record file; closed again and left unchanged
        kOpenReady = 2,
    };
    enum EState : int {
        kStateNone = 0,   // no chunk open for appending
        kStateAudio = 1,  // appending to "data"
        kStateMarks = 2,  // appending to "MARK"
    };

    static constexpr std::size_t kMarkSize = 36;
    // Bytes of audio gathered before one write to the file.
    static constexpr std::size_t kBufferSize = 8192;
    // The largest file a record may become: its RIFF size (file size − 8)
    // and every chunk size must fit 32 bits, with room to spare.
    static constexpr uint64_t kMaxFileSize = 0xFFFFFFF0ull;
    // Room kept free after the audio for a "MARK" chunk of a few marks.
    static constexpr uint64_t kMarkReserve = 8 + 32 * kMarkSize;

    CWavFile();
    ~CWavFile();
    CWavFile(const CWavFile&) = delete;
    CWavFile& operator=(const CWavFile&) = delete;

    // The format of the next CreateNew: an 18-byte block with
    // nBlockAlign = channels × bits / 8 and nAvgBytesPerSec = rate × nBlockAlign.
    void SetFormat(uint16_t channels, uint16_t bits, uint32_t rate, uint16_t tag);
    // Any format block (18 + cbSize bytes). False, leaving the format as it
    // was, when the block is not well formed (see IsWellFormed).
    bool SetFormatBlock(const void* block, std::size_t size);
    bool SetFormatBlock(const CWaveFormat& format);

    // Creates (or empties) name and writes the header; the file is then in
    // state kStateAudio. The format must have been set. False on failure,
    // which leaves no file behind (a file locked by someone else is neither
    // opened nor touched). With mustBeNew an existing name (also a link) is
    // never opened: false with errno EEXIST, the file untouched.
    bool CreateNew(const std::string& name, uint32_t startSamples, int shareMode,
                   bool mustBeNew = false);
    // Opens an existing record to continue or read it: see EOpenResult. With
    // wantView the whole file is mapped read-only for the Get*Pointer calls.
    int OpenExisting(const std::string& name, int shareMode, bool wantView);
    // Opens an existing record for reading only, always with a view: no write
    // is possible and Close leaves the file unchanged. Same results.
    int OpenForReading(const std::string& name);

    // Appends n bytes (silence of the same length when muted) to "data".
    // Small writes are gathered; a write of kBufferSize bytes or more reaches
    // the file before WriteAudio returns, with everything gathered before it,
    // so a writer that dies loses nothing it handed over in large pieces.
    // Returns the bytes taken: n, or 0 when not in kStateAudio, when n does
    // not fit (CanWrite), or when the file refused a write (what the file
    // refused is not counted in the chunk).
    std::size_t WriteAudio(const void* bytes, std::size_t n);
    // True when n more bytes of audio keep the record within kMaxFileSize,
    // with kMarkReserve left over. A recorder splits the record otherwise.
    bool CanWrite(uint64_t n) const;

    // Finishes "data" and starts "MARK" (state kStateMarks). Write mode only.
    bool BeginMarks();
    // Appends n bytes to "MARK"; 0 unless in kStateMarks or when the file
    // refused the write.
    std::size_t WriteMark(const void* bytes, std::size_t n);

    // Closes the file; a file open for writing first gets its last chunk
    // finished (padded to even length), its "SHDR" metadata, its "fact"
    // sample count and its RIFF size written. False when no file was open or
    // a write failed (the file is closed all the same).
    bool Close();
    bool Close(uint32_t samples);
    // Closes the open file as above, then deletes it. False when no file was
    // open or the deletion failed.
    bool DeleteFile();
    // Closes the open file as above, then renames it to newName; an existing
    // newName is never replaced (false, the file stays where it was).
    bool MoveTo(const std::string& newName);

    // With a view: the bytes of "data" / "MARK" and their size (the running
    // size of the chunk being appended). Without a view or such a chunk: null
    // and 0. A pointer stays valid until the next write, Close or open.
    const uint8_t* GetDataPointer();
    uint32_t GetDataSize();
    const uint8_t* GetMarkPointer();
    uint32_t GetMarkSize();

    void SetMute(bool on) { m_mute = on; }
    bool IsMuted() const { return m_mute; }

    bool isOpened() const { return m_fd >= 0; }
    // Full path of the open file; empty when closed.
    const std::string& getFileName() const { return m_name; }
    uint32_t getSamplesCount() const { return m_samples; }
    // The count Close writes into "fact".
    void SetSamplesCount(uint32_t samples) { m_samples = samples; }
    // The format block: null when none was set.
    const tagWaveFormatEx* GetWfx() const;
    std::size_t GetWfxSize() const { return m_format.Size(); }
    const CWaveFormat& GetFormat() const { return m_format; }
    tagDB_Record& getDbRecord() { return m_record; }
    const tagDB_Record& getDbRecord() const { return m_record; }
    int GetState() const { return m_state; }
    // The chunks of the open file in file order, with their current sizes.
    const std::vector<SWavChunk>& GetChunks() const { return m_chunks; }

private:
    int OpenFile(const std::string& name, int shareMode, bool wantView, bool writable);
    bool WriteAt(uint64_t offset, const void* bytes, std::size_t n);
    bool Append(const void* bytes, std::size_t n);
    // Writes the buffer and then bytes with as few system calls as the
    // kernel allows, appending bytes to the current chunk.
    bool AppendDirect(const uint8_t* bytes, std::size_t n);
    // Whether the file's chunks lie as CreateNew lays them out, so that
    // WriteHeaderImage can write the whole header at once.
    bool StandardLayout() const;
    // Writes the RIFF header, "fmt ", "fact", "SHDR" and the "data" header
    // with their final contents in one write (Close of a standard layout).
    bool WriteHeaderImage();
    bool AppendSilence(std::size_t n);
    bool Flush();
    // After the buffer (and maybe more) was written up to diskEnd: empties
    // the buffer; when not ok, the current chunk keeps only what is on disk.
    bool BufferWritten(uint64_t diskEnd, bool ok);
    bool StartChunk(uint32_t id);
    // Pads the current chunk and, when writeHeader, writes its final header.
    bool FinishChunk(bool writeHeader = true);
    bool WriteChunk(uint32_t id, const void* bytes, std::size_t n);
    bool MarkCurrentChunkOpen();
    bool MapView();
    void UnmapView();
    const uint8_t* ChunkPointer(uint32_t id, uint32_t& size);
    uint32_t ChunkSize(uint32_t id);
    void Reset();

    // Settings that outlive an open file.
    CWaveFormat m_format;
    tagDB_Record m_record{};
    bool m_mute = false;

    // The open file.
    int m_fd = -1;
    std::string m_name;
    bool m_writeMode = false;
    int m_state = kStateNone;
    uint32_t m_samples = 0;
    std::vector<SWavChunk> m_chunks;
    // Index into m_chunks of the chunk being appended, -1 when none.
    int m_current = -1;
    // Its header still declares the size found at open; set to 0 before the
    // first append so that a crash leaves it "open to the end of the file".
    bool m_currentHeaderStale = false;
    // End of the file as far as anything was written or found.
    uint64_t m_fileEnd = 0;

    // Appended bytes not yet written: they belong at m_bufferStart.
    std::unique_ptr<uint8_t[]> m_buffer;
    std::size_t m_buffered = 0;
    uint64_t m_bufferStart = 0;

    // Read-only mapping of the file, when wanted.
    bool m_wantView = false;
    uint8_t* m_view = nullptr;
    uint64_t m_viewSize = 0;
};

}  // namespace zorv
