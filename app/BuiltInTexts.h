// Texts the program carries: the eight built-in adverts shown in the advert box while there is
// no link to the ad server, and the about page's contact data and links.
#pragma once

#include <array>

// One built-in advert, in the order the advert table keeps its fields.
struct TBuiltInAdvert {
  const char* title;
  const char* description;  // one line
  const char* link;         // web address opened on a click
};

inline constexpr int kBuiltInAdvertCount = 8;
extern const std::array<TBuiltInAdvert, kBuiltInAdvertCount> kBuiltInAdverts;

// A web link of the about page: the text shown and the address it opens.
struct TAboutLink {
  const char* caption;
  const char* target;
};

struct TAboutTexts {
  const char* maker;
  const char* address;
  const char* phone;
  const char* email;
  std::array<TAboutLink, 4> web;  // home page, two further sites, the application store page
  const char* sourceNote;         // the printed source of the lexicon
};

extern const TAboutTexts kAboutTexts;
