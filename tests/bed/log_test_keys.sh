#!/usr/bin/env bash
# The test log's keys, made once in DIR for the logged test build: the log
# key on a SoftHSM2 token of its own (DIR/softhsm2.conf, PIN in DIR/pin, its
# verifier key in DIR/log.vkey, origin HOST/log) and three witnesses' keys
# (DIR/witnessN.example.key, their verifier keys in DIR/witnesses.vkeys).
#   log_test_keys.sh DIR HOST
set -euo pipefail
dir=$(realpath -m "$1"); host=$2
here=$(cd "$(dirname "$0")" && pwd)
if [ -s "$dir/log.vkey" ] && [ -s "$dir/witnesses.vkeys" ]; then exit 0; fi
rm -rf "$dir"; mkdir -p "$dir/token"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$dir/token" > "$dir/softhsm2.conf"
echo 246810 > "$dir/pin"
export SOFTHSM2_CONF=$dir/softhsm2.conf TAVRO_SIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
  TAVRO_SIGN_LOG_TOKEN="Test Log" TAVRO_SIGN_LOG_KEY_ID=4c TAVRO_SIGN_LOG_PIN_FILE=$dir/pin
softhsm2-util --init-token --free --label "Test Log" --pin 246810 --so-pin 000000 >/dev/null
"$here/../../scripts/log_key.py" generate "$host/log" > "$dir/log.vkey.new"
python3 "$here/witness.py" keys "$dir" witness1.example witness2.example witness3.example | paste -sd ' ' \
  > "$dir/witnesses.vkeys.new"
mv "$dir/witnesses.vkeys.new" "$dir/witnesses.vkeys"
mv "$dir/log.vkey.new" "$dir/log.vkey"
