// The drive's .is_audio_player, as any player or owner may have written
// it: read, resolved over the defaults and written out again. What this
// program writes must read back to the same settings.
#include <cstdlib>

#include "FuzzSupport.h"
#include "session/PlayerProfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::QuietLog quiet;
  session::PlayerProfile profile = session::parsePlayerProfile(fuzz::bytesOf(data, size));
  session::PlayerSettings settings = session::resolveSettings(profile, {});
  std::string written = session::profileText(settings);
  session::PlayerSettings again =
      session::resolveSettings(session::parsePlayerProfile(written), {});
  if (again.formats.value != settings.formats.value ||
      again.playlistFormat.value != settings.playlistFormat.value)
    std::abort();
  return 0;
}
