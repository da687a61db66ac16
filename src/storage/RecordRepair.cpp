#include "storage/RecordRepair.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace zorv {
namespace {

bool ValidDate(uint32_t year, uint32_t mon, uint32_t day) {
    return year >= 1 && mon >= 1 && mon <= 12 && day >= 1 && day <= 31;
}

bool TimeOfDay(uint32_t hour, uint32_t min, uint32_t sec) {
    return hour < 24 && min < 60 && sec < 60;
}

// The date at the start of the file name: "YYYYMMDD".
bool DateFromName(const std::string& path, uint32_t& year, uint32_t& mon, uint32_t& day) {
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() < 8) {
        return false;
    }
    for (std::size_t i = 0; i < 8; ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return false;
        }
    }
    year = static_cast<uint32_t>(std::atoi(name.substr(0, 4).c_str()));
    mon = static_cast<uint32_t>(std::atoi(name.substr(4, 2).c_str()));
    day = static_cast<uint32_t>(std::atoi(name.substr(6, 2).c_str()));
    return ValidDate(year, mon, day);
}

template <std::size_t N>
void EndText(char (&field)[N]) {
    field[N - 1] = '\0';
}

}  // namespace

const char* RepairFailureText(ERepairFailure failure) {
    switch (failure) {
        case ERepairFailure::kNone:
            return "repaired";
        case ERepairFailure::kNoFormat:
            return "no format block";
        case ERepairFailure::kBadFormatBlock:
            return "the format block's cbSize disagrees with its size";
        case ERepairFailure::kZeroBlockAlign:
            return "the format's block align is 0";
        case ERepairFailure::kZeroByteRate:
            return "the format's byte rate is 0";
    }
    return "unknown";
}

ERepairFailure RepairRecordMetadata(CWavFile& file, const std::string& path, const LocalTime& now) {
    const tagWaveFormatEx* wfx = file.GetWfx();
    if (wfx == nullptr) {
        return ERepairFailure::kNoFormat;
    }
    if (sizeof(tagWaveFormatEx) + wfx->cbSize != file.GetWfxSize()) {
        return ERepairFailure::kBadFormatBlock;
    }
    if (wfx->nBlockAlign == 0) {
        return ERepairFailure::kZeroBlockAlign;
    }
    if (wfx->nAvgBytesPerSec == 0) {
        return ERepairFailure::kZeroByteRate;
    }
    const uint32_t dataSize = file.GetDataSize();
    tagDB_Record& meta = file.getDbRecord();

    const int64_t yearsOff = static_cast<int64_t>(meta.year) - now.year;
    if (yearsOff > 2 || yearsOff < -2 || !ValidDate(meta.year, meta.mon, meta.day)) {
        uint32_t year = 0, mon = 0, day = 0;
        if (DateFromName(path, year, mon, day)) {
            meta.year = year;
            meta.mon = mon;
            meta.day = day;
        } else {
            meta.year = static_cast<uint32_t>(now.year);
            meta.mon = static_cast<uint32_t>(now.month);
            meta.day = static_cast<uint32_t>(now.day);
        }
    }

    // A ringing line that never became a call: the record is of a free line.
    // Its hour stays a time of day: the file holds audio, and hour 99 would
    // mark a call without a record.
    if (meta.inout == 11 || meta.inout == 0 || meta.inout > 13) {
        meta.inout = 2;
    }
    if (!TimeOfDay(meta.hour, meta.min, meta.sec)) {
        meta.hour = static_cast<uint32_t>(now.hour);
        meta.min = static_cast<uint32_t>(now.minute);
        meta.sec = static_cast<uint32_t>(std::min(now.second, 59));
    }
    if (!TimeOfDay(meta.rhour, meta.rmin, meta.rsec)) {
        meta.rhour = meta.hour;
        meta.rmin = meta.min;
        meta.rsec = meta.sec;
    }

    if (file.getSamplesCount() == 0) {
        file.SetSamplesCount(dataSize / wfx->nBlockAlign);
    }
    const bool noLength = meta.dhour == 0 && meta.dmin == 0 && meta.dsek == 0 && dataSize > 1024;
    if (noLength || meta.dmin >= 60 || meta.dsek >= 60) {
        const uint32_t seconds = dataSize / wfx->nAvgBytesPerSec;
        meta.dhour = seconds / 3600;
        meta.dmin = seconds / 60 % 60;
        meta.dsek = seconds % 60;
    }

    if (GetText(meta.namefile) != path) {
        SetText(meta.namefile, path);
    }
    EndText(meta.serverName);
    EndText(meta.TlfString_1);
    EndText(meta.TlfString_2);
    EndText(meta.alias);
    EndText(meta.Remark);
    EndText(meta.extraInfo);
    EndText(meta.document);
    return ERepairFailure::kNone;
}

}  // namespace zorv
