#pragma once

#include <string>
#include <vector>

#include "config/ConfigImage.h"
#include "config/ForwardingPort.h"

namespace tarnwick {

struct SaveResult {
    bool saved = false;
    std::string error;   // why not, when not saved
    std::string keptAs;  // where an unreadable previous file was kept, if it was
    std::string note;    // how it was saved, when not the usual way, and why
};

// Brisel.cfg in one directory. Loads whole; saves whole and atomically: the image goes
// to a temporary file beside the file (beside a link's target, when Brisel.cfg is a
// link), is flushed to disk and renamed over it, so a failed save leaves the previous
// file as it was. A new file's mode follows the umask; a replaced file keeps its mode
// and owner. Where no new file can be created, or the owner cannot be kept, the image is
// written over the file in place instead, and `note` says so. Temporary files of saves
// that were killed part-way, whole images or not, are removed by the next save once they
// are a minute old.
class ConfigFile {
public:
    explicit ConfigFile(std::string directory);

    const std::string& directory() const { return directory_; }
    std::string path() const;

    // Reads the ports; each gets `ownerWindow`. Never throws for file contents.
    LoadResult load(MailboxId ownerWindow = 0) const;

    // Writes every port in table order, creating the directory if needed. When the file
    // about to be replaced does not load completely, it is first kept as
    // "Brisel.cfg.bad" (or "Brisel.cfg.bad.N", never overwriting one), so that ports
    // which could not be read are never destroyed by a save.
    SaveResult save(const PortTable& ports) const;

    // Creates the directory and any missing parent, private to the user, unless it
    // exists. 0, or the errno of the step that failed.
    int createDirectory() const;

private:
    std::string directory_;
};

}  // namespace tarnwick
