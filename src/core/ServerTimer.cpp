// The ten-second timer tick and its periodic work.
#include <sys/stat.h>

#include "core/ServerCore.h"

namespace zorv {

void CServerCore::OnTimerTick() {
    OnTimerHook();

    const bool alarm = State() == SS_FAILED || m_components.watchdog->IsAlarmSet();
    m_components.watchdog->Send(3, alarm ? 1 : 0, alarm ? 1 : 0);

    m_components.storage->CheckDeleteByAge();
    m_components.storage->CheckDiskSpace();
    m_components.scheduler->Tick();
    OnChangeHook();
    PowerStamp(true);
    WatchUsersFile();
    CountDownWindows();
    DetectCompressorHang();
}

void CServerCore::WatchUsersFile() {
    if (m_usersFile.empty() || !m_onUsersFileChange) {
        return;
    }
    struct stat info {};
    if (::stat(m_usersFile.c_str(), &info) != 0) {
        if (m_usersFilePresent) {
            m_onUsersFileChange();
        }
        m_usersFilePresent = false;
        return;
    }
    // Whole nanoseconds: two changes within one second are both seen.
    const bool changed = info.st_mtim.tv_sec != m_usersFileTime.tv_sec ||
                         info.st_mtim.tv_nsec != m_usersFileTime.tv_nsec;
    if (!m_usersFilePresent || changed) {
        m_usersFileTime = info.st_mtim;
        m_onUsersFileChange();
    }
    m_usersFilePresent = true;
}

void CServerCore::CountDownWindows() {
    bool windowEnded = false;
    {
        CMutexLock lock(m_countersLock);
        const int count = m_deviceCount.load();
        for (int i = 0; i < count; ++i) {
            const size_t slot = static_cast<size_t>(i);
            if (m_restartCount[slot] == 0) {
                continue;
            }
            // A countdown already at 0 ends too, so a window can never stick.
            if (--m_restartCountdown[slot] <= 0) {
                m_restartCountdown[slot] = 0;
                m_restartCount[slot] = 0;
                windowEnded = true;
            }
        }
        if (m_compressorExceptions != 0 && --m_compressorDecay <= 0) {
            m_compressorDecay = 0;
            m_compressorExceptions = 0;
        }
    }
    if (windowEnded) {
        ResumeRunningUnlessStopped();
        m_registryKey.SetDword("IntStopRestart", 0);
    }
}

bool CServerCore::ResumeRunningUnlessStopped() {
    // The stop sequence does not wait for a tick in flight: a plain store
    // here could bring a stopped server back to "running".
    uint32_t word = m_state.load();
    do {
        if (StateOf(word) == SS_STOPPED) {
            return false;
        }
    } while (!m_state.compare_exchange_weak(word, MakeStateWord(SS_RUNNING, 0)));
    return true;
}

void CServerCore::DetectCompressorHang() {
    const CompressorSnapshot now = m_components.compressor->Snapshot();
    const int periodSeconds = static_cast<int>(kTimerPeriod.count() / 1000);
    bool hung = false;
    {
        CMutexLock lock(m_countersLock);
        if (now.state != m_lastCompressorState) {
            m_lastCompressorState = now.state;
            m_hangCount = 0;
        } else if (now.processedFiles != m_lastProcessedFiles) {
            m_hangCount = 0;
        } else if (now.state == kCompressorCompressProcessing) {
            if (now.packingProgress == m_lastPackingProgress) {
                if (m_hangCount++ >= 1) {
                    m_hangCount = 0;
                    hung = true;
                }
            } else {
                m_hangCount = 0;
            }
            m_lastPackingProgress = now.packingProgress;
        } else if (now.state == kCompressorFaxProcessing ||
                   now.state == kCompressorAonProcessing) {
            ++m_hangCount;
            if (static_cast<int64_t>(now.sourceSeconds) / periodSeconds < m_hangCount) {
                m_hangCount = 0;
                hung = true;
            }
        }
        m_lastProcessedFiles = now.processedFiles;
    }
    if (hung) {
        Post(kMsgException, 0, kSourceCompressor, 0);
    }
}

}  // namespace zorv
