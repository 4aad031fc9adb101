#ifndef DCMRELOCATE_TALLY_H
#define DCMRELOCATE_TALLY_H

#include <string>

// What one run did with the files it met, for the closing line on standard error.
struct Tally {
    int filed = 0;             // moved, or in a dry run: would be moved
    int failed = 0;            // accepted but not moved (refused, or the move failed)
    int unparsable = 0;        // skipped: not DICOM, a UID missing or unusable as a name
    int symbolicLinks = 0;     // skipped: never followed
    int unreadDirectories = 0; // below the source, could not be opened: their files are not filed

    // "Info: 3 filed, 2 skipped (cannot be parsed: 1, symbolic link: 1), 1 failed", and ", 1
    // directory not read" when one was not; a dry run says "to be filed" and "refused", since
    // nothing was moved.
    std::string closingLine(bool execute) const;
};

#endif
