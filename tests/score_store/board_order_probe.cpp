// The score board's entries for a listing, as the game makes them: the
// listing's bytes (standard input, as a server sends them) through the
// listing channel's line handling, the board's split into entries and the
// sorted list box. Prints one entry a line, as "<mark> <hex bytes>": mark
// "=" when the entry compares equal to the one before (the list box keeps
// such entries in no set order), "<" otherwise.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "online/listing_text.h"
#include "system/transfer/listing_lines.h"
#include "window/case_fold.h"
#include "window/element.h"

int main() {
    std::cin >> std::noskipws;
    const std::string sent((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    korvala::ListingLines channel(sent.size() + 2);
    if (!channel.add(sent)) return 2;
    korvala::ListBox list("lstRemoteFile");
    list.sorted = true;
    list.AddItems(korvala::listingLines(channel.finish()));
    const std::string* before = nullptr;
    for (const std::string& entry : list.List()) {
        std::printf("%c ", before && korvala::compareCaseFolded(*before, entry) == 0 ? '=' : '<');
        for (unsigned char c : entry) std::printf("%02x", c);
        std::printf("\n");
        before = &entry;
    }
    return 0;
}
