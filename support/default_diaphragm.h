// Where the default diaphragm "lmask.bmp" and the gallery of other diaphragms are found.
#pragma once

#include <string>
#include <vector>

class MaskMan;

// The places looked at, in order: the current folder, the folder of the running program,
// and the installed data folder beside it (../share/bokavo).
std::vector<std::string> defaultDiaphragmCandidates();

// Loads the first candidate that the diaphragm set accepts. False when none does;
// `whyNot`, when given, then names every place tried and why it failed. A file in the
// current folder is the user's own: when it is there but cannot be used, the search stops
// there with its reason instead of passing it over for a later candidate.
bool loadDefaultDiaphragm(MaskMan& masks, std::string* whyNot = nullptr);

// The same for any list of candidate files, tried in order; a bare file name is one in the
// current folder.
bool loadFirstDiaphragm(MaskMan& masks, const std::vector<std::string>& candidates,
                        std::string* whyNot = nullptr);

// The folder of diaphragm shapes delivered with the program: "diaphragms" in the
// installed data folder (../share/bokavo beside the program), or beside the program in a
// build tree. Empty when neither exists.
std::string diaphragmGalleryFolder();

// The same for a program in `programFolder`.
std::string diaphragmGalleryFolderOf(const std::string& programFolder);
