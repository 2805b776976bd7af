#!/bin/bash
# Generates the throwaway test PKI into OUTDIR (inside the build tree; the
# private keys never leave it):
#   root.pem/.key             self-signed root CA
#   <signer>.pem/.key         code-signing certificates issued by the root
#   <signer>-chain.pem        the signer's certificate followed by the root's,
#                             as osslsigncode embeds them
#   tsa.pem/.key, tsa-chain.pem
#                             time-stamping authority (extendedKeyUsage
#                             critical timeStamping) for osslsigncode's
#                             built-in RFC 3161 stamps
#   signers.txt               "<short name>|<subject CN>" per signer
#   stamp                     written last: the PKI is complete
#
# Validity dates are fixed, so signatures made with this PKI verify the same
# way whatever the day. OpenSSL 3.0's `req` and `x509` cannot set a start
# date, so every certificate is issued with `openssl ca -startdate -enddate`.
# Keys are fresh on every generation; nothing here touches the network.
set -euo pipefail

out=${1:?usage: make-test-pki.sh OUTDIR}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "$out/.gen.XXXXXX")
trap 'rm -rf "$work"' EXIT

# short name|subject CN|not before|not after[|serial number (hex)]
signers=(
  "quon|Quonmark Computer Inc.|20230101000000Z|20391231235959Z"
  "quon-upper|QUONMARK COMPUTER INCORPORATION|20230101000000Z|20391231235959Z"
  "quon-lower|quonmark computer inc.|20230101000000Z|20391231235959Z"
  "quon-incorporated|Quonmark Computer Incorporated|20230101000000Z|20391231235959Z"
  "cpuid-sarlu|CPUID S.A.R.L.U.|20230101000000Z|20391231235959Z"
  "cpuid|CPUID|20230101000000Z|20391231235959Z"
  "other|Halvard Instruments Ltd.|20230101000000Z|20391231235959Z"
  "quon-serial|Quonmark Computer Inc.|20230101000000Z|20391231235959Z|01A2"
  "quon-long|Quonmark Computer Inc. $(printf 'Division %02d, ' $(seq 1 24))and the rest|20230101000000Z|20391231235959Z"
)

# A common name is at most 64 characters by default; quon-long's needs more.
cat >"$work/long-names.cnf" <<CNF
openssl_conf = openssl_init
[openssl_init]
stbl_section = string_table
[string_table]
commonName = min:1,max:1024
CNF
export OPENSSL_CONF="$work/long-names.cnf"

cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = test_ca

[test_ca]
dir = $work
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir/issued
default_md = sha256
policy = policy_any
unique_subject = no
copy_extensions = none
preserve = yes
email_in_dn = no

[policy_any]
organizationName = optional
commonName = supplied

[req]
distinguished_name = req_dn
prompt = no

[req_dn]
CN = unused

[v3_root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[v3_codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid

[v3_tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, nonRepudiation
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
mkdir "$work/issued"
: >"$work/index.txt"
echo 1000 >"$work/serial"

# issue NAME SUBJECT START END EXTENSIONS [root]
issue() {
  local name=$1 subject=$2 start=$3 end=$4 ext=$5 mode=${6:-}
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$work/$name.key" 2>/dev/null
  openssl req -new -config "$work/ca.cnf" -key "$work/$name.key" -subj "$subject" \
    -out "$work/$name.csr"
  local signer=(-cert "$work/root.pem" -keyfile "$work/root.key")
  [[ $mode == root ]] && signer=(-selfsign -keyfile "$work/root.key")
  openssl ca -batch -notext -config "$work/ca.cnf" "${signer[@]}" -in "$work/$name.csr" \
    -startdate "$start" -enddate "$end" -extensions "$ext" -out "$work/$name.pem" 2>/dev/null
}

issue root "/O=Pelorus Test PKI/CN=Pelorus Test Root CA" \
  20200101000000Z 20491231235959Z v3_root root
issue tsa "/O=Pelorus Test PKI/CN=Pelorus Test Time-Stamping Authority" \
  20200101000000Z 20491231235959Z v3_tsa
cat "$work/tsa.pem" "$work/root.pem" >"$work/tsa-chain.pem"

: >"$work/signers.txt"
for entry in "${signers[@]}"; do
  IFS='|' read -r name cn start end serial <<<"$entry"
  # The CN may contain '/' or '=' in future names; escape them for -subj.
  subject_cn=${cn//\\/\\\\}
  subject_cn=${subject_cn//\//\\/}
  subject_cn=${subject_cn//=/\\=}
  if [[ -n $serial ]]; then
    # A fixed serial number for this one; the counter resumes afterwards.
    cp "$work/serial" "$work/serial.next"
    echo "$serial" >"$work/serial"
  fi
  issue "$name" "/CN=$subject_cn" "$start" "$end" v3_codesign
  if [[ -n $serial ]]; then mv "$work/serial.next" "$work/serial"; fi
  cat "$work/$name.pem" "$work/root.pem" >"$work/$name-chain.pem"
  echo "$name|$cn" >>"$work/signers.txt"
done

# Publish: the certificates and keys, then the stamp last.
rm -f "$out/stamp"
cp "$work"/*.pem "$work"/*.key "$work/signers.txt" "$out/"
chmod 600 "$out"/*.key
date -u +%Y-%m-%dT%H:%M:%SZ >"$out/stamp"
