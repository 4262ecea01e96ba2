#pragma once
// The rich-text boxes' files kept in memory, for unit tests: a map from the
// game's path to the plain text saved there. Paths listed in `refuse` fail to
// save, as a file in a folder that cannot be written does.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "window/ports.h"

namespace korvala {

class MemoryFiles : public DocumentFiles {
public:
    bool load(const std::string& path, std::string& text) override {
        const auto it = files.find(path);
        if (it == files.end()) return false;
        text = it->second;
        return true;
    }
    bool save(const std::string& path, const std::string& text) override {
        saves.push_back(path);
        if (refuseAll || refuse.count(path)) return false;
        files[path] = text;
        return true;
    }
    std::map<std::string, std::string> files;
    std::set<std::string> refuse;
    bool refuseAll = false;
    std::vector<std::string> saves;  // every save asked for, in order
};

}  // namespace korvala
