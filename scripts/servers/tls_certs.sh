#!/usr/bin/env bash
# Makes the test CA and the server certificates of nginx-tls in DIR (private keys stay there;
# none is ever committed). Idempotent: kept while the CA and the good certificate are valid for
# another day, made anew otherwise.
#   ca.crt            the test CA (what the tests pass to --cacert)
#   good.crt/key      127.0.0.1 and localhost, from the CA
#   wrong.crt/key     only the name wrong.invalid, from the CA
#   expired.crt/key   127.0.0.1, from the CA, expired in 2020
#   self.crt/key      127.0.0.1, self-signed
# usage: tls_certs.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"
if [ -s ca.crt ] && [ -s self.crt ] && openssl x509 -in good.crt -noout -checkend 86400 \
  >/dev/null 2>&1; then
  exit 0
fi
rm -rf ca-db ./*.crt ./*.key ./*.csr
mkdir -p ca-db/new
: > ca-db/index.txt
echo 1000 > ca-db/serial
cat > ca.cnf <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $dir/ca-db
database = \$dir/index.txt
new_certs_dir = \$dir/new
serial = \$dir/serial
default_md = sha256
policy = any_name
copy_extensions = copy
unique_subject = no
[ any_name ]
commonName = supplied
CNF
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out "$1.key" 2>/dev/null; }
# leaf NAME CN SAN START END: a CSR with the names, signed by the CA for the given dates.
leaf() {
  key "$1"
  openssl req -new -key "$1.key" -subj "/CN=$2" -addext "subjectAltName=$3" \
    -addext "basicConstraints=critical,CA:FALSE" -out "$1.csr"
  openssl ca -batch -notext -config ca.cnf -cert ca.crt -keyfile ca.key -in "$1.csr" \
    -out "$1.crt" -startdate "$4" -enddate "$5" 2>/dev/null
}
key ca
openssl req -x509 -new -key ca.key -subj "/CN=Brindle test CA" -days 30 -out ca.crt \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
now=$(date -u -d '-1 hour' +%Y%m%d%H%M%SZ)
later=$(date -u -d '+29 days' +%Y%m%d%H%M%SZ)
leaf good 127.0.0.1 "IP:127.0.0.1,DNS:localhost" "$now" "$later"
leaf wrong wrong.invalid "DNS:wrong.invalid" "$now" "$later"
leaf expired 127.0.0.1 "IP:127.0.0.1,DNS:localhost" 20200101000000Z 20200201000000Z
key self
openssl req -x509 -new -key self.key -subj "/CN=127.0.0.1" -days 30 -out self.crt \
  -addext "subjectAltName=IP:127.0.0.1,DNS:localhost"
chmod 644 ./*.crt
