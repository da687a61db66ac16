// An exclusive lock on a file for as long as the object lives: flock on a
// descriptor that is never handed to child programs. The file stays when the
// lock ends (removing it would let two processes lock two different files of
// one name); the lock ends with the process, however it ends.
//
// The holder writes its process id into the file, so that a process that
// finds the lock taken can say who holds it.
//
// One thread uses an object.
#pragma once

#include <sys/types.h>

#include <string>

namespace zorv {

class CFileLock {
public:
    enum class Result {
        kTaken,   // this object holds the lock
        kHeld,    // another open file (another process) holds it
        kFailed,  // the file cannot be created or opened (errno set)
    };

    CFileLock() = default;
    ~CFileLock();
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    // Creates the file with mode when it is missing and takes the lock
    // without waiting.
    Result Take(const std::string& path, mode_t mode);
    // The process id the holder wrote, 0 when unknown (after kHeld).
    pid_t Holder() const { return m_holder; }

private:
    int m_fd = -1;
    pid_t m_holder = 0;
};

}  // namespace zorv
