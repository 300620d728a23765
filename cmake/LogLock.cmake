# The third lock: the transparency log a signed manifest must be in, and the
# witnesses of which TAVRO_LOG_QUORUM must have cosigned its checkpoint.
# Keys are given as signed notes write them: name+keyid+base64(type || key),
# Ed25519 only (type 0x01 for the log, 0x04 for a witness's cosignature).
# The log key's name is its checkpoints' origin line. Here the shape of each
# key is checked; the key ID is checked by the installer's own code when the
# manifest tool reports the build's locks.

# A note key name (ASCII, so that it passes into a string literal as it is),
# 8 hex digits, then 33 bytes in base64 that begin with the type byte.
set(log_name_pattern "[A-Za-z0-9._/:@~-]+")
set(log_key_pattern "^${log_name_pattern}\\+[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]\\+A[Q-Za-f][A-Za-z0-9+/]+$")
set(witness_key_pattern "^${log_name_pattern}\\+[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]\\+B[A-P][A-Za-z0-9+/]+$")
set(log_key_shape "name+8 hex digits+base64 of the type byte and the 32-byte Ed25519 key, as signed notes write a verifier key")

# The base64 of 33 bytes is 44 characters, without padding.
function(tavro_check_note_key setting key pattern kind)
  string(REGEX MATCH "\\+[^+]*\\+(.*)$" tail "${key}")
  string(LENGTH "${CMAKE_MATCH_1}" tail_length)
  if(NOT key MATCHES "${pattern}" OR NOT tail_length EQUAL 44)
    tavro_refuse_setting(${setting} "${setting} holds '${key}', which is not ${kind} (${log_key_shape})")
  endif()
endfunction()

set(TAVRO_LOG_WITNESS_COUNT 0)
if(TAVRO_LOG_KEY STREQUAL "")
  if(NOT TAVRO_LOG_WITNESSES STREQUAL "" OR NOT TAVRO_LOG_QUORUM STREQUAL "1")
    tavro_refuse_setting(TAVRO_LOG_WITNESSES "TAVRO_LOG_WITNESSES and TAVRO_LOG_QUORUM are the witnesses of a transparency log: they need TAVRO_LOG_KEY")
  endif()
else()
  # A log proves that a signed manifest was published to everyone: an
  # unsigned one has nothing to log.
  if(TAVRO_MANIFEST_KEYS_TEXT STREQUAL "")
    tavro_refuse_setting(TAVRO_LOG_KEY "TAVRO_LOG_KEY requires a signed manifest: it needs TAVRO_MANIFEST_KEY")
  endif()
  tavro_check_note_key(TAVRO_LOG_KEY "${TAVRO_LOG_KEY}" "${log_key_pattern}" "an Ed25519 note key (type 0x01)")
  # Without witnesses the log's key alone would say what was published: the
  # log, run by the publisher, could show one user a tree of its own.
  string(REGEX MATCHALL "[^ \t\r\n]+" witnesses "${TAVRO_LOG_WITNESSES}")
  list(LENGTH witnesses TAVRO_LOG_WITNESS_COUNT)
  if(TAVRO_LOG_WITNESS_COUNT LESS 1 OR TAVRO_LOG_WITNESS_COUNT GREATER 8)
    tavro_refuse_setting(TAVRO_LOG_WITNESSES "TAVRO_LOG_WITNESSES must name one to eight witnesses (their cosignature keys, separated by spaces); it names ${TAVRO_LOG_WITNESS_COUNT}")
  endif()
  set(names "")
  foreach(witness IN LISTS witnesses)
    tavro_check_note_key(TAVRO_LOG_WITNESSES "${witness}" "${witness_key_pattern}" "a witness's cosignature key (type 0x04)")
    string(REGEX REPLACE "\\+.*$" "" name "${witness}")
    if(name IN_LIST names)
      tavro_refuse_setting(TAVRO_LOG_WITNESSES "TAVRO_LOG_WITNESSES names the witness ${name} twice: each counts once towards TAVRO_LOG_QUORUM")
    endif()
    list(APPEND names "${name}")
  endforeach()
  if(NOT TAVRO_LOG_QUORUM MATCHES "^[1-9][0-9]*$" OR TAVRO_LOG_QUORUM GREATER TAVRO_LOG_WITNESS_COUNT)
    tavro_refuse_setting(TAVRO_LOG_QUORUM "TAVRO_LOG_QUORUM must be a whole number from 1 to the ${TAVRO_LOG_WITNESS_COUNT} witnesses of TAVRO_LOG_WITNESSES, not '${TAVRO_LOG_QUORUM}'")
  endif()
  list(JOIN witnesses " " TAVRO_LOG_WITNESSES_TEXT)
endif()

# Nothing of this reaches a build without TAVRO_LOG_KEY.
function(tavro_log_lock_definitions target)
  if(NOT TAVRO_LOG_KEY STREQUAL "")
    target_compile_definitions(${target} PRIVATE "TAVRO_LOG_KEY=\"${TAVRO_LOG_KEY}\""
      "TAVRO_LOG_WITNESSES=\"${TAVRO_LOG_WITNESSES_TEXT}\"" TAVRO_LOG_QUORUM=${TAVRO_LOG_QUORUM})
  endif()
endfunction()
