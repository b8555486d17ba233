// The text routine the configuration uses to normalise values.
#include "config/config.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Replaced(std::string text, char from, char to) {
    ReplaceChar(&text[0], from, to);
    return text.c_str();
}

// Folders and service names are normalised with it; a zero ends the text at the first match.
TEST(ReplaceChar, ReplacesEveryMatchInPlace) {
    EXPECT_EQ(Replaced("C:/Program Files/VirtualBox/", '/', '\\'),
              "C:\\Program Files\\VirtualBox\\");
    EXPECT_EQ(Replaced("My Service Name", ' ', '_'), "My_Service_Name");
    EXPECT_EQ(Replaced("no match", '/', '\\'), "no match");
    EXPECT_EQ(Replaced("", ' ', '_'), "");
    EXPECT_EQ(Replaced("cut here/and here", '/', '\0'), "cut here");
    EXPECT_EQ(Replaced("\xe9t\xe9", '\xe9', 'e'), "ete") << "bytes above 0x7f compare as bytes";
    ReplaceChar(nullptr, ' ', '_');
}

}  // namespace
