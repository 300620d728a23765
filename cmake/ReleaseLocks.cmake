# The settings of the two locks beyond the publisher's name: the release
# manifest's keys (TAVRO_MANIFEST_KEY, with TAVRO_MANIFEST_MAX_DAYS and
# TAVRO_MANIFEST_FLOOR) and the CA the publisher's certificate must chain to
# (TAVRO_PUBLISHER_CA). Each is checked here, so that a build never carries a
# key or a pin it cannot use.

foreach(setting TAVRO_MANIFEST_MAX_DAYS TAVRO_MANIFEST_FLOOR)
  if(NOT "${${setting}}" MATCHES "^[0-9]+$" OR "${${setting}}" MATCHES "^0[0-9]")
    tavro_refuse_setting(${setting} "${setting} must be a whole number, not '${${setting}}'")
  endif()
endforeach()
if(TAVRO_MANIFEST_MAX_DAYS LESS 1 OR TAVRO_MANIFEST_MAX_DAYS GREATER 3650)
  tavro_refuse_setting(TAVRO_MANIFEST_MAX_DAYS "TAVRO_MANIFEST_MAX_DAYS must be from 1 to 3650 days, not ${TAVRO_MANIFEST_MAX_DAYS}")
endif()
string(LENGTH "${TAVRO_MANIFEST_FLOOR}" floor_digits)
if(floor_digits GREATER 18)
  tavro_refuse_setting(TAVRO_MANIFEST_FLOOR "TAVRO_MANIFEST_FLOOR has more than 18 digits: '${TAVRO_MANIFEST_FLOOR}'")
endif()

# The keys' base64, each a P-256 SubjectPublicKeyInfo: 124 characters that
# begin with the encoding of that key type and curve.
set(TAVRO_MANIFEST_KEYS_TEXT "")
if(NOT TAVRO_MANIFEST_KEY STREQUAL "")
  if(NOT EXISTS "${TAVRO_MANIFEST_KEY}" OR IS_DIRECTORY "${TAVRO_MANIFEST_KEY}")
    tavro_refuse_setting(TAVRO_MANIFEST_KEY "TAVRO_MANIFEST_KEY names ${TAVRO_MANIFEST_KEY}, which is not a file")
  endif()
  file(READ "${TAVRO_MANIFEST_KEY}" pem)
  # A private key has no business in a build setting (nor beside the
  # release sources): said as such, not counted as no key at all.
  if(pem MATCHES "-----BEGIN [A-Z ]*PRIVATE KEY-----")
    tavro_refuse_setting(TAVRO_MANIFEST_KEY "TAVRO_MANIFEST_KEY (${TAVRO_MANIFEST_KEY}) holds a private key: the build takes public keys only, and the private key stays on the token (openssl pkey -in key.pem -pubout gives its public key)")
  endif()
  string(REGEX MATCHALL "-----BEGIN PUBLIC KEY-----[^-]*-----END PUBLIC KEY-----" blocks "${pem}")
  list(LENGTH blocks key_count)
  if(key_count LESS 1 OR key_count GREATER 2)
    tavro_refuse_setting(TAVRO_MANIFEST_KEY "TAVRO_MANIFEST_KEY (${TAVRO_MANIFEST_KEY}) must hold one or two PEM public keys (-----BEGIN PUBLIC KEY-----), the current and the next; it holds ${key_count}")
  endif()
  set(keys "")
  foreach(block IN LISTS blocks)
    string(REGEX REPLACE "-----(BEGIN|END) PUBLIC KEY-----" "" body "${block}")
    string(REGEX REPLACE "[ \t\r\n]" "" body "${body}")
    string(LENGTH "${body}" body_length)
    if(NOT body_length EQUAL 124 OR NOT body MATCHES "^MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE[A-Za-z0-9+/]+=*$")
      tavro_refuse_setting(TAVRO_MANIFEST_KEY "TAVRO_MANIFEST_KEY (${TAVRO_MANIFEST_KEY}) holds a key that is not an ECDSA P-256 public key (openssl ec -in key.pem -pubout gives one)")
    endif()
    list(APPEND keys "${body}")
  endforeach()
  list(JOIN keys " " TAVRO_MANIFEST_KEYS_TEXT)
endif()

# The mirror hosts: a host other than the official one may serve the release
# only where a signed manifest decides what runs, so never without a key. Each
# a host name as the official host is written (lower case, at least two
# labels), none of them the official host, none twice.
set(TAVRO_MIRROR_HOSTS_TEXT "")
if(NOT TAVRO_MIRROR_HOSTS STREQUAL "")
  if(TAVRO_MANIFEST_KEYS_TEXT STREQUAL "")
    tavro_refuse_setting(TAVRO_MIRROR_HOSTS "TAVRO_MIRROR_HOSTS needs TAVRO_MANIFEST_KEY: without a signed manifest, "
      "whoever runs a mirror would decide what the installer runs")
  endif()
  # Spaces separate them, and so does CMake's ";".
  string(REPLACE ";" " " mirror_text "${TAVRO_MIRROR_HOSTS}")
  string(REGEX MATCHALL "[^ \t]+" mirror_hosts "${mirror_text}")
  list(LENGTH mirror_hosts mirror_count)
  if(mirror_count GREATER 3)
    tavro_refuse_setting(TAVRO_MIRROR_HOSTS "TAVRO_MIRROR_HOSTS names ${mirror_count} hosts: at most 3, in the order "
      "they are asked")
  endif()
  set(accepted_mirrors "")
  foreach(mirror IN LISTS mirror_hosts)
    string(LENGTH "${mirror}" mirror_length)
    if(mirror_length GREATER 253 OR NOT mirror MATCHES "^([a-z0-9]([a-z0-9-]*[a-z0-9])?\\.)+[a-z]([a-z0-9-]*[a-z0-9])?$")
      tavro_refuse_setting(TAVRO_MIRROR_HOSTS "TAVRO_MIRROR_HOSTS holds '${mirror}', which is not a host name in "
        "lower case (letters, digits, hyphens, at least one dot: mirror.example.org)")
    endif()
    if(mirror STREQUAL TAVRO_OFFICIAL_HOST OR mirror STREQUAL "www.${TAVRO_OFFICIAL_HOST}")
      tavro_refuse_setting(TAVRO_MIRROR_HOSTS "TAVRO_MIRROR_HOSTS names ${mirror}, which is the official host "
        "(TAVRO_OFFICIAL_HOST); a mirror is another host")
    endif()
    if(mirror IN_LIST accepted_mirrors)
      tavro_refuse_setting(TAVRO_MIRROR_HOSTS "TAVRO_MIRROR_HOSTS names ${mirror} twice")
    endif()
    list(APPEND accepted_mirrors "${mirror}")
  endforeach()
  list(JOIN accepted_mirrors " " TAVRO_MIRROR_HOSTS_TEXT)
endif()

string(TOLOWER "${TAVRO_PUBLISHER_CA}" publisher_ca)
if(NOT publisher_ca STREQUAL "")
  if(NOT publisher_ca MATCHES "^[0-9a-f]+$")
    tavro_refuse_setting(TAVRO_PUBLISHER_CA "TAVRO_PUBLISHER_CA must be 64 hexadecimal digits (the SHA-256 of the CA's SubjectPublicKeyInfo), not '${TAVRO_PUBLISHER_CA}'")
  endif()
  string(LENGTH "${publisher_ca}" ca_length)
  if(NOT ca_length EQUAL 64)
    tavro_refuse_setting(TAVRO_PUBLISHER_CA "TAVRO_PUBLISHER_CA must be 64 hexadecimal digits (the SHA-256 of the CA's SubjectPublicKeyInfo), not '${TAVRO_PUBLISHER_CA}'")
  endif()
  if(TAVRO_PUBLISHER STREQUAL "")
    tavro_refuse_setting(TAVRO_PUBLISHER_CA "TAVRO_PUBLISHER_CA pins the CA of the publisher's certificate: it needs TAVRO_PUBLISHER")
  endif()
endif()

# The locks this build has, for the DLL functions they add (DelayLoad.cmake).
set(TAVRO_LOCKS_BUILT "")
if(NOT TAVRO_MANIFEST_KEYS_TEXT STREQUAL "")
  list(APPEND TAVRO_LOCKS_BUILT manifest-key)
endif()
if(NOT publisher_ca STREQUAL "")
  list(APPEND TAVRO_LOCKS_BUILT publisher-ca)
endif()

# Nothing of this reaches a build without the settings.
function(tavro_release_lock_definitions target)
  if(NOT TAVRO_MANIFEST_KEYS_TEXT STREQUAL "")
    target_compile_definitions(${target} PRIVATE "TAVRO_MANIFEST_KEYS=\"${TAVRO_MANIFEST_KEYS_TEXT}\""
      TAVRO_MANIFEST_MAX_DAYS=${TAVRO_MANIFEST_MAX_DAYS} TAVRO_MANIFEST_FLOOR=${TAVRO_MANIFEST_FLOOR}ULL)
  endif()
  if(NOT TAVRO_MIRROR_HOSTS_TEXT STREQUAL "")
    target_compile_definitions(${target} PRIVATE "TAVRO_MIRROR_HOSTS=\"${TAVRO_MIRROR_HOSTS_TEXT}\"")
  endif()
  if(NOT publisher_ca STREQUAL "")
    target_compile_definitions(${target} PRIVATE "TAVRO_PUBLISHER_CA=\"${publisher_ca}\"")
  endif()
endfunction()
