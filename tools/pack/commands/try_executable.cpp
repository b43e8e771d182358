#include "tools/pack/commands/try_executable.h"

#include <span>

#include "format/setup_contract.h"

#include "tools/pack/base/pack_error.h"
#include "tools/pack/commands/examine_package.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/try/home_shield.h"
#include "tools/pack/try/installed_watcher_path.h"
#include "tools/pack/try/judge_start.h"
#include "tools/pack/try/outside_writes.h"

namespace korvanthelm::pack {
namespace {

// Names the world of the run in progress, so that the next run removes it
// should this one be killed (Ctrl-C) before it could.
std::string WorldInUseMark(const PrivateWine& wine) {
    return wine.folder + "/world-in-use";
}

// What an interrupted run left: its world and its Wine processes. Only a
// folder try itself made is removed.
void RemoveWorldLeftBehind(const PrivateWine& wine) {
    const std::optional<std::string> left = ReadFileStart(WorldInUseMark(wine), /*limit=*/4096);
    if (!left) {
        return;
    }
    StopPrivateWine(wine);
    UnmapTryDrives(wine.prefix);
    if (left->find("/korvanthelm-try-") != std::string::npos) {
        RemoveFolderTree(*left);
    }
    RemoveFolderTree(WorldInUseMark(wine));
}

// Removes the world when the run ends, whatever way, unless it is kept; ends
// the prefix's processes (a launcher handed over to runs on otherwise), and
// then takes the run's drives from the prefix.
class WorldOwner {
  public:
    WorldOwner(const PrivateWine& wine, TryWorld world, bool keep)
        : wine_(wine), world_(std::move(world)), keep_(keep) {
        if (!keep_) {
            StagedFile mark(WorldInUseMark(wine_),
                            std::as_bytes(std::span(world_.root.data(), world_.root.size())));
            mark.Commit();
        }
    }
    ~WorldOwner() {
        StopPrivateWine(wine_);
        UnmapTryDrives(wine_.prefix);
        if (!keep_) {
            RemoveFolderTree(world_.root);
            RemoveFolderTree(WorldInUseMark(wine_));
        }
    }
    WorldOwner(const WorldOwner&) = delete;
    WorldOwner& operator=(const WorldOwner&) = delete;
    const TryWorld& world() const { return world_; }

  private:
    const PrivateWine& wine_;
    TryWorld world_;
    bool keep_;
};

std::string WatcherPath() {
    const std::optional<std::string> watcher = InstalledWatcherPath();
    if (!watcher || !PathExists(*watcher)) {
        throw PackError("no watcher for try beside the packer: " +
                        watcher.value_or("../share/korvanthelm/korvanthelm-watcher.exe") +
                        " (the tools package installs it)");
    }
    return AbsolutePath(*watcher);
}

ExecutableDigests DigestsOf(const std::string& exe, const std::string& version) {
    const VerifiedFile verified = VerifyPackageFile(exe, version, /*stub=*/"");
    if (!verified.signature_refusal.empty()) {
        throw PackError(verified.signature_refusal);
    }
    if (!verified.is_executable || !verified.slot) {
        throw PackError(exe + ": try runs a built KORVANTHELM.exe, not a package file");
    }
    return verified.slot->digests;
}

void RequestUpdate(const TryWorld& world) {
    StagedFile request(AppDataPath(world, format::kUpdateRequestPath),
                       std::span<const std::byte>());
    request.Commit();
}

}  // namespace

TryResult TryExecutable(const TryOptions& options, const std::string& version,
                        const WarnFunction& warn) {
    PrivateWine wine = FindPrivateWine();
    const std::string watcher = WatcherPath();
    TryResult result;
    result.exe = options.exe;
    result.timeout = options.timeout;
    result.digests = DigestsOf(options.exe, version);
    RefuseUnusableKeep(options.keep);
    result.wine_version = WineVersion();
    const UniqueFd lock = LockPrivateWine(wine);
    RemoveWorldLeftBehind(wine);
    // From here a stop signal (Ctrl-C) ends the running Wine program; the
    // owner below then ends Wine and removes the world, and the caller dies
    // of the signal. Held until the owner is done.
    const HeldStopSignals held;
    wine.stop = &held;
    // The world's owner first: whatever fails from here on, Wine's server
    // and services are ended and the world removed.
    const std::string exe = AbsolutePath(options.exe);
    const WorldOwner owner(wine, MakeTryWorld(options.keep, wine.prefix, exe, watcher),
                           !options.keep.empty());
    const TryWorld& world = owner.world();
    // Before the first Wine process: the server it starts keeps its view, and
    // every later process must get the same one.
    std::string cause;
    if (!ShieldRealHome(wine, world, wine.view, cause)) {
        warn({kHomeNotShielded, "", "the real home is not shielded from the programs: " + cause});
    }
    StartPrivateWine(wine, world.drives);
    const PrefixFiles before = ReadPrefixFiles(wine, world);
    if (!options.keep.empty()) {
        result.kept = world.root;
    }
    StartRequest request{watcher, exe, options.timeout, {}};
    bool stopped = false;
    for (std::size_t i = 0; i < std::size(kTryStarts); ++i) {
        StartVerdict verdict;
        verdict.start = kTryStarts[i];
        if (!stopped) {
            if (verdict.start.requests_update) {
                RequestUpdate(world);
            }
            request.trace = world.root + "/start-" + std::to_string(i + 1) + ".trace";
            verdict.ran = true;
            verdict.outcome = RunOneStart(wine, world, request);
            stopped = verdict.outcome.timed_out;
        }
        const bool reads_contract = verdict.start.reads_contract && verdict.ran;
        result.starts.push_back(std::move(verdict));
        if (reads_contract) {
            result.contract = CheckSetupContract(world, result.digests);
        }
    }
    // Wine ended and its registry saved before anything is compared.
    StopPrivateWine(wine);
    const OutsideWrites outside = FindOutsideWrites(wine, world, before);
    if (!outside.files) {
        MarkPrefixClean(wine);
    }
    result.outside_world = outside.written;
    JudgeStarts(world, result);
    result.ok = result.ok && result.outside_world.empty();
    // One that came after the last Wine program ended.
    if (const int signal_number = held.Wait(std::chrono::milliseconds(0))) {
        throw TryInterrupted{signal_number};
    }
    return result;
}

}  // namespace korvanthelm::pack
