#include "release/build_settings.h"

#ifdef TAVRO_PUBLISHER
const wchar_t kRequiredPublisher[] = TAVRO_WIDEN(TAVRO_PUBLISHER);
#else
const wchar_t kRequiredPublisher[] = L"";
#endif

#ifdef TAVRO_PUBLISHER_CA
const wchar_t kPublisherCaPin[] = TAVRO_WIDEN(TAVRO_PUBLISHER_CA);
#else
const wchar_t kPublisherCaPin[] = L"";
#endif

#ifdef TAVRO_MANIFEST_KEYS
const wchar_t kManifestKeysText[] = TAVRO_WIDEN(TAVRO_MANIFEST_KEYS);
#else
const wchar_t kManifestKeysText[] = L"";
#endif

#ifdef TAVRO_MIRROR_HOSTS
const wchar_t kMirrorHostsText[] = TAVRO_WIDEN(TAVRO_MIRROR_HOSTS);
#else
const wchar_t kMirrorHostsText[] = L"";
#endif

#ifndef TAVRO_MANIFEST_MAX_DAYS
#define TAVRO_MANIFEST_MAX_DAYS 90
#endif
#ifndef TAVRO_MANIFEST_FLOOR
#define TAVRO_MANIFEST_FLOOR 0
#endif
const long long kManifestMaxDays = TAVRO_MANIFEST_MAX_DAYS;
const unsigned long long kManifestFloor = TAVRO_MANIFEST_FLOOR;

#ifdef TAVRO_LOG_KEY
const char kLogKeyText[] = TAVRO_LOG_KEY;
const char kLogWitnessesText[] = TAVRO_LOG_WITNESSES;
const unsigned kLogQuorum = TAVRO_LOG_QUORUM;
#else
const char kLogKeyText[] = "";
const char kLogWitnessesText[] = "";
const unsigned kLogQuorum = 0;
#endif
