#include "BuiltInTexts.h"

// The adverts point to other products of the maker.
const std::array<TBuiltInAdvert, kBuiltInAdvertCount> kBuiltInAdverts = {{
    {"Vadásznapló",
     "Jegyezze fel vadászatait, elejtéseit, megfigyeléseit, és készítsen belőlük évenkénti "
     "kimutatást.",
     "https://www.vadasznaplo.example.org/"},
    {"Trófeapont – trófeabírálati segéd",
     "Agancs- és agyartrófeák méreteinek rögzítése, pontszámítás és "
     "trófeagyűjtemény-nyilvántartás.",
     "https://www.trofeapont.example.com/"},
    {"Madárhang-kalauz",
     "Hazai madaraink hangjai és rövid leírásai, a vízivadtól az erdei énekesmadarakig.",
     "https://www.madarhang.example.net/"},
    {"Nyomolvasó",
     "Rajzos kalauz a vad nyomairól, hullatékáról és egyéb jeleiről, terepen is használható "
     "formában.",
     "https://www.nyomolvaso.example.org/"},
    {"Kutyakönyv – vadászkutya-napló",
     "Vadászkutyája idomításának, vizsgáinak, oltásainak és munkanapjainak áttekinthető "
     "nyilvántartása.",
     "https://www.kutyakonyv.example.com/"},
    {"Röppálya – lőtáblázat-készítő",
     "Lőszeradatok alapján becsült röppálya és energiatáblázat golyós fegyverekhez, nyomtatható "
     "formában.",
     "https://www.roppalya.example.net/"},
    {"Erdőkalauz – erdészeti szakszótár",
     "Az erdőgazdálkodás, a fafajok és az erdei élőhelyek szakkifejezései egy kötetben, "
     "kereshető formában.",
     "https://www.erdokalauz.example.org/"},
    {"Vadkonyha – receptgyűjtemény",
     "Vadételek receptjei a vadhús kezelésétől a tálalásig, hagyományos és mai fogásokkal.",
     "https://www.vadkonyha.example.com/"},
}};

const TAboutTexts kAboutTexts = {
    "Avarhegyi Kiadó és Szoftverműhely Bt.",
    "9999 Képzeletfalva, Kitalált utca 1.",
    "+36 1 555 0100",
    "info@lombkalauz.example.org",
    {{{"A Lombkalauz honlapja", "https://www.lombkalauz.example.org/"},
      {"Frissítések és új szócikkek", "https://www.lombkalauz.example.org/frissites"},
      {"Nyomtatott kiadványaink", "https://kiado.example.com/konyvek"},
      // The window shows this link's caption as it stands; it leads to the maker's developer
      // page in the application store.
      {"Android alkalmazások - Google Play ",
       "https://play.example.com/store/apps/developer?id=Avarhegyi+Kiado"}}},
    "A Lombkalauz szócikkei a kiadó „Avarhegyi vadászati szakszótár\" című nyomtatott kötetének "
    "anyagára épülnek. A kötet a vadászati szaknyelv kifejezéseit, a vadfajok, a vadászkutyák, a "
    "fegyverek és a vadászati hagyományok szavait gyűjti egybe. A program szövege a nyomtatott "
    "kiadás átdolgozott, bővített változata, amelyet a kiadó munkatársai rendszeresen javítanak "
    "és kiegészítenek.",
};
