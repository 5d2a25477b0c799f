#!/usr/bin/env bash
# Signs the release archives with a throwaway code-signing certificate made here with openssl,
# then checks them as scripts/package.sh does, with every signature verified against that
# certificate. The signed archives land in build/signed/; the unsigned ones are not touched.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

velmora_install_packages
work="$VELMORA_ROOT/build/signing"
rm -rf "$work"
mkdir -p "$work"
head -c 24 /dev/urandom | base64 >"$work/password"
openssl req -x509 -newkey rsa:3072 -sha256 -days 2 -nodes -subj "/CN=Velmora test signing" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" \
  -keyout "$work/key.pem" -out "$work/certificate.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/certificate.pem" \
  -passout "file:$work/password" -out "$work/signing.pfx"

velmora_log "signing the release archives with a throwaway certificate"
VELMORA_SIGN_PFX="$work/signing.pfx" VELMORA_SIGN_PASSWORD_FILE="$work/password" \
  VELMORA_SIGN_CA_FILE="$work/certificate.pem" VELMORA_RELEASE_DIR="$VELMORA_ROOT/build/signed" \
  "$VELMORA_ROOT/scripts/package.sh" "$@"
