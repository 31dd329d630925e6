#!/bin/sh
# Regenerates the signing fixtures of the service-update tests in this folder:
#   test-key.pem      RSA 2048 private key; signs test data only
#   test-cert.cer     self-signed certificate (DER) of that key, valid for 30 years
#   expired-cert.cer  self-signed certificate of the same key, valid 2010-2012 only
#   broken-cert.cer   test-cert.cer with one bit of its signature flipped
# The expired and broken certificates share the test key, so a refusal in the tests can only
# come from the certificate's own state. Run it from anywhere; it overwrites the files.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out test-key.pem
openssl req -x509 -new -key test-key.pem -sha256 -days 10958 \
  -subj "/O=Porvane Tests/CN=Porvane Test Signing" -outform DER -out test-cert.cer

touch "$tmp/index.txt"
echo 01 >"$tmp/serial"
cat >"$tmp/ca.cnf" <<CONF
[ ca ]
default_ca = test
[ test ]
database = $tmp/index.txt
serial = $tmp/serial
new_certs_dir = $tmp
default_md = sha256
policy = anything
unique_subject = no
[ anything ]
organizationName = optional
commonName = supplied
CONF
openssl req -new -key test-key.pem -subj "/O=Porvane Tests/CN=Porvane Expired Test Signing" \
  -out "$tmp/request.csr"
openssl ca -batch -config "$tmp/ca.cnf" -selfsign -keyfile test-key.pem -in "$tmp/request.csr" \
  -startdate 20100101000000Z -enddate 20120101000000Z -out "$tmp/expired.pem"
openssl x509 -in "$tmp/expired.pem" -outform DER -out expired-cert.cer

# The signature is the certificate's last bytes; flip a bit ten bytes from the end.
size=$(wc -c <test-cert.cer)
head -c $((size - 10)) test-cert.cer >broken-cert.cer
byte=$(tail -c 10 test-cert.cer | head -c 1 | od -An -tu1 | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 1)))" >>broken-cert.cer
tail -c 9 test-cert.cer >>broken-cert.cer
