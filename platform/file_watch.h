#pragma once

// Learns, without waiting, whether a file has been touched since the watch began: the upload
// engine asks before every block it serves, so a file changed mid-transfer is never served as a
// mix. One non-blocking system call per question; nothing is read from the file itself.

#include <memory>
#include <string>

namespace fk::platform {

class FileWatch {
  public:
    // Since the last question: nothing; the content was written or cut (the file has changed);
    // or something else (attributes, a rename or removal of a name) that may or may not have
    // replaced what the path names, for the caller to find out.
    enum class Seen { Nothing, Written, Other };

    virtual ~FileWatch() = default;
    virtual Seen Poll() = 0;

    // Watches the file the path names now; nullptr when the system cannot (no watches left),
    // and the caller then checks the file itself.
    static std::unique_ptr<FileWatch> Start(const std::string& path);
};

}  // namespace fk::platform
