#include "BuiltInTexts.h"

// PLACEHOLDER_ADVERT_TEXTS: stand-ins until the maker's advert and contact texts are copied in.
const std::array<TBuiltInAdvert, kBuiltInAdvertCount> kBuiltInAdverts = {{
    {"PLACEHOLDER_AD1_TITLE", "PLACEHOLDER_AD1_DESCRIPTION", "https://example.invalid/ad1"},
    {"PLACEHOLDER_AD2_TITLE", "PLACEHOLDER_AD2_DESCRIPTION", "https://example.invalid/ad2"},
    {"PLACEHOLDER_AD3_TITLE", "PLACEHOLDER_AD3_DESCRIPTION", "https://example.invalid/ad3"},
    {"PLACEHOLDER_AD4_TITLE", "PLACEHOLDER_AD4_DESCRIPTION", "https://example.invalid/ad4"},
    {"PLACEHOLDER_AD5_TITLE", "PLACEHOLDER_AD5_DESCRIPTION", "https://example.invalid/ad5"},
    {"PLACEHOLDER_AD6_TITLE", "PLACEHOLDER_AD6_DESCRIPTION", "https://example.invalid/ad6"},
    {"PLACEHOLDER_AD7_TITLE", "PLACEHOLDER_AD7_DESCRIPTION", "https://example.invalid/ad7"},
    {"PLACEHOLDER_AD8_TITLE", "PLACEHOLDER_AD8_DESCRIPTION", "https://example.invalid/ad8"},
}};

const TAboutTexts kAboutTexts = {
    "PLACEHOLDER_MAKER",
    "PLACEHOLDER_ADDRESS",
    "PLACEHOLDER_PHONE",
    "PLACEHOLDER_EMAIL",
    {{{"PLACEHOLDER_WEB1_CAPTION", "https://example.invalid/web1"},
      {"PLACEHOLDER_WEB2_CAPTION", "https://example.invalid/web2"},
      {"PLACEHOLDER_WEB3_CAPTION", "https://example.invalid/web3"},
      {"Android alkalmazások - Google Play ", "https://example.invalid/web4"}}},
    "PLACEHOLDER_SOURCE_NOTE",
};
