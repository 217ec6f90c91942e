// A second stop signal's clean-up while a sample takes its number: remove_pending_temporary is called here as the
// signal handler calls it, at each step of claiming the name.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/atomic_file.h"
#include "temp_files.h"

namespace {

namespace fs = std::filesystem;
using lumivar_test::ScratchDir;

// A temporary file for `target` written and claimed for it, as the sample store does before linking it.
std::string claim_for(const fs::path &target) {
    std::string temporary;
    EXPECT_TRUE(write_temporary(target, "ours", temporary));
    set_claimed_file(target.string(), temporary);
    return temporary;
}

void forget(const std::string &temporary) {
    finish_temporary(temporary, false);
    set_dependent_file("");
}

TEST(AtomicFile, ASignalWhileASampleTakesItsNameRemovesTheNameOnlyOnceItIsOurs) {
    ScratchDir dir;
    const fs::path target = dir.path / "enrol-0001.png";

    // Another run's sample holds the name: only our temporary goes.
    lumivar_test::write_file(target, "theirs");
    std::string temporary = claim_for(target);
    remove_pending_temporary();
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_EQ(lumivar_test::read_file(target), "theirs");
    forget(temporary);
    fs::remove(target);

    // Linked to the name, the temporary still there or already unlinked: both go.
    for (bool unlinked : {false, true}) {
        temporary = claim_for(target);
        ASSERT_EQ(::link(temporary.c_str(), target.c_str()), 0);
        if (unlinked) ::unlink(temporary.c_str());
        remove_pending_temporary();
        EXPECT_FALSE(fs::exists(temporary)) << unlinked;
        EXPECT_FALSE(fs::exists(target)) << unlinked;
        forget(temporary);
    }

    // The claim ended, no manifest written yet: the sample goes, as any sample whose entry is not in place.
    temporary = claim_for(target);
    ASSERT_EQ(::link(temporary.c_str(), target.c_str()), 0);
    ::unlink(temporary.c_str());
    finish_temporary(temporary, false);
    end_claim();
    remove_pending_temporary();
    EXPECT_FALSE(fs::exists(target));
    set_dependent_file("");

    // The manifest naming it already renamed into place: the sample stays.
    lumivar_test::write_file(target, "ours");
    set_dependent_file(target.string());
    ASSERT_TRUE(write_temporary(dir.path / "manifest.json", "[]", temporary));
    fs::rename(temporary, dir.path / "manifest.json");
    remove_pending_temporary();
    EXPECT_TRUE(fs::exists(target));
    forget(temporary);
}

}  // namespace
