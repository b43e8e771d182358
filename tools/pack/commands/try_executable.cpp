#include "tools/pack/commands/try_executable.h"

#include <span>

#include "tools/pack/base/pack_error.h"
#include "tools/pack/commands/examine_package.h"
#include "tools/pack/platform/files.h"
#include "tools/pack/platform/folders.h"
#include "tools/pack/try/installed_watcher_path.h"
#include "tools/pack/try/judge_start.h"

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
    if (left->find("/korvanthelm-try-") != std::string::npos) {
        RemoveFolderTree(*left);
    }
    RemoveFolderTree(WorldInUseMark(wine));
}

// Removes the world when the run ends, whatever way, unless it is kept; and
// ends the prefix's processes (a launcher handed over to runs on otherwise).
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
    StagedFile request(world.app_data + "/KORVANTHELM/update.request",
                       std::span<const std::byte>());
    request.Commit();
}

}  // namespace

TryResult TryExecutable(const TryOptions& options, const std::string& version) {
    const PrivateWine wine = FindPrivateWine();
    const std::string watcher = WatcherPath();
    TryResult result;
    result.exe = options.exe;
    result.timeout = options.timeout;
    result.digests = DigestsOf(options.exe, version);
    RefuseUnusableKeep(options.keep);
    result.wine_version = WineVersion();
    const UniqueFd lock = LockPrivateWine(wine);
    RemoveWorldLeftBehind(wine);
    // The world's owner first: whatever fails from here on, Wine's server
    // and services are ended and the world removed.
    const WorldOwner owner(wine, MakeTryWorld(options.keep, wine.prefix), !options.keep.empty());
    const TryWorld& world = owner.world();
    StartPrivateWine(wine);
    if (!options.keep.empty()) {
        result.kept = world.root;
    }
    StartRequest request{watcher, AbsolutePath(options.exe), options.timeout, {}};
    const char* const names[] = {"first start", "second start", "update start"};
    bool stopped = false;
    for (std::size_t i = 0; i < std::size(names); ++i) {
        StartVerdict verdict;
        verdict.name = names[i];
        if (!stopped) {
            if (i == 2) {
                RequestUpdate(world);
            }
            request.trace = world.root + "/start-" + std::to_string(i + 1) + ".trace";
            verdict.ran = true;
            verdict.outcome = RunOneStart(wine, world, request);
            stopped = verdict.outcome.timed_out;
        }
        result.starts.push_back(std::move(verdict));
        if (i == 0 && result.starts[0].ran) {
            result.contract = CheckSetupContract(world, result.digests);
        }
    }
    JudgeStarts(world, result);
    return result;
}

}  // namespace korvanthelm::pack
