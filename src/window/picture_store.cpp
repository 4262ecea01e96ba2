#include "window/picture_store.h"

#include <array>

namespace korvala {

namespace {
struct Family {
    std::string_view name;
    int count;  // 0: a single picture without index
    PictureSize size;
};
constexpr std::array<Family, 8> kStore{{
    {"MNU", 12, {209, 41}},
    {"Ki", 3, {48, 52}},
    {"Ka", 3, {48, 52}},
    {"Kosong", 0, {151, 129}},
    {"kena", 0, {151, 129}},
    {"jam", 0, {151, 129}},
    {"bom", 0, {151, 129}},
    {"Teler", 0, {151, 129}},
}};
}  // namespace

bool PictureStore::holds(std::string_view name, int index) {
    for (const Family& f : kStore)
        if (f.name == name) return f.count == 0 ? index == -1 : index >= 0 && index < f.count;
    return false;
}

std::string PictureStore::picture(std::string_view name, int index) {
    created_ = true;
    if (!holds(name, index)) return {};
    std::string out(name);
    if (index >= 0) out += "(" + std::to_string(index) + ")";
    return out;
}

PictureSize pictureSize(std::string_view picture) {
    const auto paren = picture.find('(');
    const std::string_view family = picture.substr(0, paren);
    for (const Family& f : kStore)
        if (f.name == family) return f.size;
    if (picture == "board") return {688, 471};
    if (picture == "partner_logo") return {340, 155};
    if (picture == "icon") return {32, 32};
    if (picture.empty()) return {};
    return {687, 471};  // the panel backgrounds
}

}  // namespace korvala
