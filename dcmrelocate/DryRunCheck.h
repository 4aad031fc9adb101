#ifndef DCMRELOCATE_DRYRUNCHECK_H
#define DCMRELOCATE_DRYRUNCHECK_H

#include <set>
#include <string>
#include <sys/types.h>

// The checks a dry run makes in place of each move, so that it shows a file the real run would
// refuse: a target that exists already (or that an earlier file of the run takes), a target on
// another file system than the file (a move is a rename, never a copy), a study directory that
// cannot be made below what exists, and a source or archive directory that may not be written.
class DryRunCheck {
public:
    // studyDir is the directory the files would go to; it need not exist yet.
    explicit DryRunCheck(const std::string& studyDir);

    // Why moving `from` to `to` would fail, in the words of the real run's error, or the empty
    // text when nothing stands in its way. A target without refusal counts as taken from now on.
    std::string refusal(const std::string& from, const std::string& to);

private:
    dev_t targetDevice = 0;
    // Why nothing can be moved into the study directory at all, or the empty text.
    std::string targetProblem;
    std::set<std::string> taken;
};

#endif
