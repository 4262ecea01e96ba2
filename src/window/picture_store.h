#pragma once
// The picture store `img`: a hidden window holding the 23 pictures that
// change while the game runs. It is created the first time one of its
// pictures is read and is never shown.
#include <string>
#include <string_view>

namespace korvala {

class PictureStore {
public:
    // The picture of a store image by name, with an index for the arrays
    // `MNU(0..11)`, `Ki(0..2)` and `Ka(0..2)`: "MNU(3)", "Kosong".
    std::string picture(std::string_view name, int index = -1);
    bool created() const { return created_; }
    static bool holds(std::string_view name, int index = -1);

private:
    bool created_ = false;
};

// Pixel size of a named picture (store pictures, backgrounds, icon).
struct PictureSize {
    int width = 0, height = 0;
};
PictureSize pictureSize(std::string_view picture);

}  // namespace korvala
