// Which address a rotation fetches: entry by entry in the list's order, a
// folder entry yielding its pictures one per step in natural order, or a
// shuffled deck of every picture that is dealt again once each has been
// shown. A folder is listed afresh whenever it is reached, so pictures
// added or removed meanwhile count; only names are kept, never whole paths.
#include "picture_order.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "app_constants.h"
#include "app_globals.h"
#include "fetch_globals.h"

int ShuffleOrder = 0;
int ShownEntry = 0;
std::string FolderUrl;
std::string FolderLastName;
ShuffleDeck Deck;
std::string LastShown;
std::mt19937 ShuffleRandom{std::random_device{}()};

namespace {

// The outcome of looking in a folder for the picture beside a name.
enum class FolderLook { Picture, NoneBeyond, Empty, Unreadable };

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ASCII only: the other bytes of a CP932 name are not letters to fold.
char Lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view DigitRun(std::string_view text, std::size_t& at) {
  while (at < text.size() && text[at] == '0' && at + 1 < text.size() && IsDigit(text[at + 1])) ++at;
  const std::size_t start = at;
  while (at < text.size() && IsDigit(text[at])) ++at;
  return text.substr(start, at - start);
}

bool HasUrlPrefix(std::string_view text) {
  return text.starts_with(kHttpPrefix) || text.starts_with(kHttpsPrefix) || text.starts_with(kFilePrefix);
}

std::string_view LocalPath(std::string_view address) { return address.substr(kSchemeLength); }

bool IsPictureName(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string extension(name.substr(dot));
  for (char& c : extension) c = Lowered(c);
  return std::find(std::begin(kPictureExtensions), std::end(kPictureExtensions), extension) !=
         std::end(kPictureExtensions);
}

std::string PictureAddress(std::string_view folder, std::string_view name) {
  std::string address(folder);
  if (address.back() != kPathSeparator) address += kPathSeparator;
  return address.append(name);
}

// Names longer than this would make an address CurrentUrl cannot hold.
std::size_t LongestName(std::string_view folder) {
  const std::size_t used = folder.size() + (folder.ends_with(kPathSeparator) ? 0 : 1);
  return used + 1 < kUrlCapacity ? kUrlCapacity - 1 - used : 0;
}

// Calls `take` with the name of each picture directly in the folder that
// fits an address; false with `error` set when the folder cannot be read.
template <typename Take>
bool ListPictures(std::string_view folder, Take take, std::error_code& error) {
  namespace fs = std::filesystem;
  const std::size_t longest = LongestName(folder);
  fs::directory_iterator entry(fs::path(std::string(LocalPath(folder))), error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    std::string name = entry->path().filename().string();
    std::error_code type_error;
    if (name.size() > longest || !IsPictureName(name) || !entry->is_regular_file(type_error)) continue;
    take(std::move(name));
  }
  return !error;
}

void ReportFolder(std::string_view folder, FolderLook look, const std::error_code& error) {
  const std::string text(folder);
  if (look == FolderLook::Unreadable) {
    std::fprintf(stderr, kFolderUnreadableFormat, text.c_str(), error.message().c_str());
  } else if (look == FolderLook::Empty) {
    std::fprintf(stderr, kFolderEmptyFormat, text.c_str());
  }
}

// The picture next after `beside` in natural order (`forward`), or next
// before it; with `beside` empty, the first or the last. One listing.
FolderLook LookBeside(std::string_view folder, std::string_view beside, bool forward, std::string& found) {
  found.clear();
  bool any = false;
  std::error_code error;
  const bool read = ListPictures(
      folder,
      [&](std::string&& name) {
        any = true;
        const int sign = forward ? 1 : -1;
        if (!beside.empty() && sign * NaturalCompare(name, beside) <= 0) return;
        if (found.empty() || sign * NaturalCompare(name, found) < 0) found = std::move(name);
      },
      error);
  FolderLook look = !read ? FolderLook::Unreadable
                    : !found.empty() ? FolderLook::Picture
                    : any           ? FolderLook::NoneBeyond
                                    : FolderLook::Empty;
  ReportFolder(folder, look, error);
  return look;
}

// Copies an address into CurrentUrl as the one shown; false for one that
// would have to be cut short to fit.
bool TakeAddress(std::string_view address) {
  if (address.size() >= kUrlCapacity) return false;
  std::memcpy(CurrentUrl, address.data(), address.size());
  CurrentUrl[address.size()] = '\0';
  LastShown = address;
  return true;
}

int EntryCount(HWND box) { return static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0)); }

// The folder's next picture after the one it showed last; a folder whose
// pictures have all been shown is left, so it starts over next time round.
FolderLook TakeFromFolder(const std::string& folder) {
  std::string name;
  FolderLook look = LookBeside(folder, FolderUrl == folder ? FolderLastName : std::string(), true, name);
  if (look != FolderLook::Picture) {
    FolderUrl.clear();
    FolderLastName.clear();
    return look;
  }
  FolderUrl = folder;
  FolderLastName = name;
  TakeAddress(PictureAddress(folder, name));
  return look;
}

// Each entry is looked at once at most, so a list of empty folders or of
// entries too long for CurrentUrl costs one pass; a folder whose pictures
// ran out may be met once more, to start over when it is all there is.
bool TakeInListOrder(HWND box) {
  const int count = EntryCount(box);
  int looks = count - 1;
  for (int look = 0; look < looks; ++look) {
    if (RotationIndex < 1) RotationIndex = count - 1;
    if (RotationIndex >= count) RotationIndex = 1;
    const std::string entry = EntryText(box, RotationIndex);
    if (IsFolderAddress(entry)) {
      FolderLook outcome = TakeFromFolder(entry);
      if (outcome == FolderLook::Picture) {
        ShownEntry = RotationIndex;
        return true;
      }
      if (outcome == FolderLook::NoneBeyond && looks == count - 1) ++looks;
      ++RotationIndex;
      continue;
    }
    const int index = RotationIndex++;
    if (TakeAddress(entry)) {
      FolderUrl.clear();
      ShownEntry = index;
      return true;
    }
  }
  return false;
}

std::string CardAddress(const ShuffleCard& card) {
  const std::string& source = Deck.sources[card.source];
  return card.name.empty() ? source : PictureAddress(source, card.name);
}

// A round never begins with the picture that ended the last one, unless
// that picture is all there is.
void KeepSeamApart() {
  auto& cards = Deck.cards;
  if (cards.size() < 2 || CardAddress(cards.front()) != LastShown) return;
  const std::size_t start = std::uniform_int_distribution<std::size_t>(1, cards.size() - 1)(ShuffleRandom);
  for (std::size_t step = 0; step + 1 < cards.size(); ++step) {
    const std::size_t other = 1 + (start - 1 + step) % (cards.size() - 1);
    if (CardAddress(cards[other]) != LastShown) {
      std::swap(cards.front(), cards[other]);
      return;
    }
  }
}

// A fresh round over every picture of the list as it is now.
void DealDeck(HWND box) {
  Deck = ShuffleDeck();
  const int count = EntryCount(box);
  for (int index = 1; index < count; ++index) {
    std::string entry = EntryText(box, index);
    if (!HasUrlPrefix(entry)) continue;
    const auto source = static_cast<std::uint32_t>(Deck.sources.size());
    if (!IsFolderAddress(entry)) {
      Deck.cards.push_back({source, std::string()});
    } else {
      std::error_code error;
      bool any = false;
      bool read = ListPictures(
          entry, [&](std::string&& name) { any = true, Deck.cards.push_back({source, std::move(name)}); }, error);
      ReportFolder(entry, !read ? FolderLook::Unreadable : any ? FolderLook::Picture : FolderLook::Empty, error);
    }
    Deck.sources.push_back(std::move(entry));
  }
  std::shuffle(Deck.cards.begin(), Deck.cards.end(), ShuffleRandom);
  KeepSeamApart();
}

bool StillThere(std::string_view address) {
  std::error_code error;
  return std::filesystem::is_regular_file(std::filesystem::path(std::string(LocalPath(address))), error);
}

// One card per step; a picture that has gone since the deal is passed over.
bool DrawFromDeck(HWND box) {
  bool dealt = false;
  for (;;) {
    if (Deck.next >= Deck.cards.size()) {
      if (dealt) return false;
      DealDeck(box);
      dealt = true;
    }
    const ShuffleCard& card = Deck.cards[Deck.next++];
    const std::string address = CardAddress(card);
    if (!card.name.empty() && !StillThere(address)) continue;
    if (TakeAddress(address)) return true;
  }
}

// The entry's address, or for a folder its picture before `name` (its last
// with `name` empty), with the place the order would stand at there.
struct Place {
  std::string address;  // empty when there is none
  int entry = 0;
  std::string folder_name;  // the picture's name for a folder entry
};

Place PlaceBefore(const std::string& entry, int index, std::string_view name) {
  if (!IsFolderAddress(entry)) return name.empty() ? Place{entry, index, {}} : Place{};
  std::string found;
  if (LookBeside(entry, name, false, found) != FolderLook::Picture) return Place{};
  return Place{PictureAddress(entry, found), index, found};
}

Place PlaceBeforeInList(HWND box) {
  const int count = EntryCount(box);
  if (ShownEntry < 1 || ShownEntry >= count) return Place{};
  const std::string shown = EntryText(box, ShownEntry);
  if (FolderUrl == shown && !FolderLastName.empty()) {
    Place inside = PlaceBefore(shown, ShownEntry, FolderLastName);
    if (!inside.address.empty()) return inside;
  }
  for (int step = 1; step < count; ++step) {
    const int index = ShownEntry - step >= 1 ? ShownEntry - step : ShownEntry - step + count - 1;
    const std::string entry = EntryText(box, index);
    if (!HasUrlPrefix(entry)) continue;
    Place before = PlaceBefore(entry, index, std::string_view());
    if (!before.address.empty()) return before;
  }
  return Place{};
}

}  // namespace

int NaturalCompare(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      // Equal-length runs of digits without leading zeros compare as text.
      std::string_view x = DigitRun(a, i), y = DigitRun(b, j);
      if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
      if (int order = x.compare(y); order != 0) return order;
      continue;
    }
    const char x = Lowered(a[i++]), y = Lowered(b[j++]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  // Names alike but for case or leading zeros still differ: "img01" and
  // "img1" are both shown, one after the other.
  return a.compare(b);
}

bool IsFolderAddress(std::string_view address) {
  if (!address.starts_with(kFilePrefix)) return false;
  const std::string_view path = LocalPath(address);
  if (path.empty()) return false;
  if (path.back() == kPathSeparator) return true;
  std::error_code error;
  return std::filesystem::is_directory(std::filesystem::path(std::string(path)), error);
}

std::string EntryText(HWND box, int index) {
  LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR || length < 0) return std::string();
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(std::strlen(text.c_str()));
  return text;
}

bool TakeNextAddress(HWND box) { return ShuffleOrder ? DrawFromDeck(box) : TakeInListOrder(box); }

// A change of order starts the deck afresh, so a new shuffle is a whole round.
void ToggleShuffle() {
  ShuffleOrder = ShuffleOrder ? 0 : 1;
  Deck = ShuffleDeck();
}

void SeedShuffle(unsigned seed) {
  ShuffleRandom.seed(seed);
  Deck = ShuffleDeck();
}

std::string AddressBeforeCurrent(HWND window) {
  if (ShuffleOrder) {
    if (Deck.next < 2 || Deck.next > Deck.cards.size()) return std::string();
    return CardAddress(Deck.cards[Deck.next - 2]);
  }
  return PlaceBeforeInList(GetDlgItem(window, UrlBox)).address;
}

bool TakePreviousAddress(HWND window) {
  if (ShuffleOrder) {
    if (Deck.next < 2 || Deck.next > Deck.cards.size()) return false;
    if (!TakeAddress(CardAddress(Deck.cards[Deck.next - 2]))) return false;
    --Deck.next;
    return true;
  }
  HWND box = GetDlgItem(window, UrlBox);
  Place place = PlaceBeforeInList(box);
  if (place.address.empty() || !TakeAddress(place.address)) return false;
  // The order now stands where that picture was: the next step shows the
  // one that was current, and another step back goes further back.
  ShownEntry = place.entry;
  if (place.folder_name.empty()) {
    FolderUrl.clear();
    FolderLastName.clear();
    RotationIndex = place.entry + 1;
  } else {
    FolderUrl = EntryText(box, place.entry);
    FolderLastName = place.folder_name;
    RotationIndex = place.entry;
  }
  return true;
}
