// The work directory and the folders on the way to the entry being written:
// created, checked and held open.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/unique_resource.h"

namespace korvanthelm {

// Holds the work directory, and the parent folders of the current entry
// for as long as entries stay in them.
//
// Every held folder is open without delete sharing, so while it is held
// nobody can delete, rename or replace it (with a link, say); what was checked
// is what the next file is created in. A folder is therefore created and
// checked once when the walk enters it, not again for each entry that follows
// inside it. A folder the walk leaves is released, and an entry that comes
// back to it later creates and checks it anew.
//
// Holding does not stop a folder from being changed in place (emptied and
// made a reparse point), so the folder a file is about to be created in is
// asked again through its handle for every entry: one cheap query, no walk.
//
// Failures throw: "Не удалось создать папку лаунчера." when a folder cannot
// be made (other than because it exists), "Небезопасная временная папка
// установщика." when the work directory or a folder is not a plain directory
// (or a link to one) or cannot be held.
class EntryFolders {
  public:
    // Checks that `work_directory` is a plain directory and holds it.
    explicit EntryFolders(const std::wstring& work_directory);
    EntryFolders(const EntryFolders&) = delete;
    EntryFolders& operator=(const EntryFolders&) = delete;

    // `target` is the work directory, one backslash and an entry path with
    // backslashes. Makes every folder between the work directory and the
    // file exist and be a plain directory, held; folders no longer on the
    // way are released first. The folder the file goes into is a plain
    // directory when this returns, checked through its handle.
    void Enter(const std::wstring& target);

  private:
    struct Held {
        std::size_t end = 0;  // the folder is `path_` up to here
        UniqueFile handle;
    };
    std::wstring path_;       // the deepest held folder; the others are prefixes
    std::vector<Held> held_;  // from the work directory down
};

}  // namespace korvanthelm
