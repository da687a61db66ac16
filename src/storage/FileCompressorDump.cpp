// The compressor's state names and its state dump for the exception file.
#include <ostream>

#include "storage/FileCompressor.h"

namespace zorv {

const char* CFileCompressor::StateName(int state) {
    static const char* const kNames[] = {"NO_FILE",        "FILE_EXIST",          "FILE_OPEN",
                                         "FAX_PROCESSING", "COMPRESS_PROCESSING", "AON_PROCESSING",
                                         "ADD_DATA_BASE"};
    return state >= 0 && state <= kAddDataBase ? kNames[state] : "UNKNOWN";
}

void CFileCompressor::DumpFile(std::ostream& out, const char* title, const SFileView& view) {
    out << title << ".isOpened()=" << view.opened << "\n";
    if (!view.opened) {
        return;
    }
    const tagDB_Record& r = view.record;
    const std::string db = std::string(title) + ".getDbRecord() ";
    out << title << ".getFileName()=" << view.name << "\n";
    out << title << ".getSamplesCount()=" << view.samples << "\n";
    const std::string wfx = std::string(title) + ".GetWfx()->";
    out << wfx << "wFormatTag=" << view.wfx.wFormatTag << "\n"
        << wfx << "nChannels=" << view.wfx.nChannels << "\n"
        << wfx << "nSamplesPerSec=" << view.wfx.nSamplesPerSec << "\n"
        << wfx << "nAvgBytesPerSec=" << view.wfx.nAvgBytesPerSec << "\n"
        << wfx << "nBlockAlign=" << view.wfx.nBlockAlign << "\n"
        << wfx << "wBitsPerSample=" << view.wfx.wBitsPerSample << "\n"
        << wfx << "cbSize=" << view.wfx.cbSize << "\n";
    out << db << r.day << "." << r.mon << "." << r.year << " " << r.hour << ":" << r.min << ":"
        << r.sec << "\n";
    out << db << "ring " << r.rhour << ":" << r.rmin << ":" << r.rsec << "\n";
    out << db << "length " << r.dhour << ":" << r.dmin << ":" << r.dsek << "\n";
    out << db << "NChanel=" << r.NChanel << "\n" << db << "Format=" << r.Format << "\n";
    out << db << "inout=" << r.inout << "\n";
    out << db << "TlfString_1=" << GetText(r.TlfString_1) << " Category_1=" << r.Category_1 << "\n";
    out << db << "TlfString_2=" << GetText(r.TlfString_2) << " Category_2=" << r.Category_2 << "\n";
    out << db << "Alias=" << GetText(r.alias) << "\n";
    out << db << "namefile=" << GetText(r.namefile) << "\n";
    out << db << "remark=" << GetText(r.Remark) << "\n";
}

void CFileCompressor::DumpState(std::ostream& out) const {
    const CompressorSnapshot snapshot = Snapshot();
    CMutexLock lock(m_lock);
    out << "CFileCompressor\n";
    out << "m_isCompressIdle=" << m_isCompressIdle.load() << "\n";
    out << "m_isTerminate=" << m_isTerminate.load() << "\n";
    out << "Compress State=" << StateName(snapshot.state) << "\n";
    out << "m_minSizeFile=" << m_minSizeFile.load() << "\n";
    out << "m_paths[0]=" << m_paths[0] << "\n";
    out << "m_paths[1]=" << m_paths[1] << "\n";
    out << "m_fileExt=" << m_fileExt << "\n";
    out << "m_dirExt=" << m_dirExt << "\n";
    out << "m_formatFileName=" << m_formatFileName << "\n";
    out << "m_findName=" << m_findName << "\n";
    out << "m_fileName=" << m_fileName << "\n";
    out << "AcmDrv.GetOutSize()=" << m_codecOutSize << "\n";
    out << "AcmDrv.GetInputSize()=" << m_codecInSize << "\n";
    out << "AcmDrv.GetFormatSize()=" << CAcmCodec::GetFormatSize() << "\n";
    out << "AcmDrv.GetSrcnChannels()=" << m_codecChannels << "\n";
    out << "AcmDrv.GetSrcnSamplesPerSec()=" << m_codecRate << "\n";
    DumpFile(out, "FileIn", m_inView);
    DumpFile(out, "FileOut", m_outView);
    out << "m_dstBuffer=" << (m_codecOutSize != 0 ? "allocated" : "none") << "\n";
    out << "Dbf=" << (m_database != nullptr ? "set" : "none") << "\n";
    out << "CmdProc=" << (m_fax != nullptr ? "set" : "none") << "\n";
    out << "m_findHandle=" << (snapshot.state != kNoFile ? "open" : "closed") << "\n";
    const std::size_t slash = m_fileName.find_last_of('/');
    out << "UnpackFile.cFileName="
        << (slash == std::string::npos ? m_fileName : m_fileName.substr(slash + 1)) << "\n";
    const uint64_t size = m_lastFoundSize;
    out << "UnpackFile.nFileSizeLow=" << (size & 0xFFFFFFFFu) << "\n";
    out << "UnpackFile.nFileSizeHigh=" << (size >> 32) << "\n";
    out << "m_countFileProcessing=" << snapshot.processedFiles << "\n";
    out << "m_isFormatChanged=" << m_isFormatChanged << "\n";
    out << "m_countFormats=" << m_table->Formats().size() << "\n";
}

}  // namespace zorv
