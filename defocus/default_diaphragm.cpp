#include "defocus/default_diaphragm.h"

#include <filesystem>
#include <system_error>

#include "defocus/maskman.h"

namespace {

constexpr const char* kFileName = "lmask.bmp";

// The folder of the running program, or nothing when the system does not tell.
std::filesystem::path programFolder() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || program.empty()) return {};
    return program.parent_path();
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
    for (const std::string& candidate : candidates) {
        std::string why;
        if (masks.Load(candidate.c_str(), &why)) return true;
        if (!tried.empty()) tried += "; ";
        tried += candidate + ": " + why;
    }
    if (whyNot) *whyNot = candidates.empty() ? "no place to look for it" : "tried " + tried;
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
