#include "support/default_diaphragm.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "defocus/maskman.h"
#include "image/why_not.h"

namespace {

constexpr const char* kFileName = "lmask.bmp";

// The folder of the running program, or nothing when the system does not tell.
std::filesystem::path programFolder() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || program.empty()) return {};
    return program.parent_path();
}

// A bare name that names something in the current folder, even a dangling link: a file the
// user put there.
bool isInCurrentFolder(const std::string& candidate) {
    struct stat info;
    return !std::filesystem::path(candidate).has_parent_path() &&
           lstat(candidate.c_str(), &info) == 0;
}

// Why the candidates after a refused one of the user's were not tried.
std::string followers(std::vector<std::string>::const_iterator next,
                      std::vector<std::string>::const_iterator end) {
    if (next == end) return {};
    std::string text = "; a file in the current folder is used before ";
    for (auto candidate = next; candidate != end; ++candidate)
        text += (candidate == next ? "" : candidate + 1 == end ? " and " : ", ") + *candidate;
    return text;
}

}  // namespace

std::vector<std::string> defaultDiaphragmCandidates() {
    // The bare name first: that is where users have always put their own diaphragm.
    std::vector<std::string> candidates{kFileName};
    const std::filesystem::path folder = programFolder();
    if (!folder.empty()) {
        candidates.push_back((folder / kFileName).string());
        candidates.push_back(
            (folder / ".." / "share" / "bokavo" / kFileName).lexically_normal().string());
    }
    return candidates;
}

bool loadDefaultDiaphragm(MaskMan& masks, std::string* whyNot) {
    return loadFirstDiaphragm(masks, defaultDiaphragmCandidates(), whyNot);
}

bool loadFirstDiaphragm(MaskMan& masks, const std::vector<std::string>& candidates,
                        std::string* whyNot) {
    std::string tried;
    for (auto candidate = candidates.begin(); candidate != candidates.end(); ++candidate) {
        std::string why;
        if (masks.Load(candidate->c_str(), &why)) return true;
        if (isInCurrentFolder(*candidate)) {
            setWhy(whyNot, *candidate + ": " + why + followers(candidate + 1, candidates.end()));
            return false;
        }
        if (!tried.empty()) tried += "; ";
        tried += *candidate + ": " + why;
    }
    setWhy(whyNot, candidates.empty() ? "no place to look for it" : "tried " + tried);
    return false;
}

std::string diaphragmGalleryFolder() {
    const std::filesystem::path folder = programFolder();
    if (folder.empty()) return {};
    return diaphragmGalleryFolderOf(folder.string());
}

std::string diaphragmGalleryFolderOf(const std::string& programFolder) {
    const std::filesystem::path folder(programFolder);
    // The installed folder first: a build tree has no share/ beside bin/.
    for (const std::filesystem::path& candidate :
         {folder / ".." / "share" / "bokavo" / "diaphragms", folder / "diaphragms"}) {
        std::error_code error;
        if (std::filesystem::is_directory(candidate, error))
            return candidate.lexically_normal().string();
    }
    return {};
}
