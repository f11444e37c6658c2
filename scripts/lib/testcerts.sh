# Throwaway certificates for the test environment, made with the openssl
# command line each time the environment comes up. Sourced by scripts/testenv.
#
#   ca.pem                 the test authority (tests trust it explicitly)
#   tls.test.{pem,key}     good: tls.test, tlsreq.test, direct.test, slow.test,
#                          tls12.test, sasl2tls.test and their conference
#                          services
#   wrongname.test.*       names other.test only
#   expired.test.*         valid 2024-01-01 .. 2025-01-01
#   selfsigned.test.*      its own issuer
#   untrusted.test.*       signed by other-ca.pem, which nobody trusts
#   forged.test.*          signed by forged-ca.pem, a root with the test
#                          authority's subject and serial number under
#                          another key; the server sends that root along
#   ejabberd.test.*        ejabberd.test, ejabberd-direct.test and their
#                          conference services
#   jabberd2.test.*        jabberd2.test and conference.jabberd2.test

make_test_certs() {  # folder
  d=$1
  mkdir -p "$d/newcerts"
  : > "$d/index.txt"
  echo 1000 > "$d/serial"
  cat > "$d/ca.cnf" <<EOF_CNF
[ ca ]
default_ca = testca
[ testca ]
dir = $d
database = $d/index.txt
new_certs_dir = $d/newcerts
serial = $d/serial
default_md = sha256
policy = anything
unique_subject = no
[ anything ]
organizationName = optional
commonName = supplied
EOF_CNF
  authority "$d/ca" "Parley Test CA"
  authority "$d/other-ca" "Parley Untrusted CA"
  leaf "$d" ca tls.test "DNS:tls.test,DNS:conference.tls.test,DNS:tlsreq.test,DNS:conference.tlsreq.test,\
DNS:direct.test,DNS:conference.direct.test,DNS:slow.test,DNS:conference.slow.test,DNS:tls12.test,\
DNS:conference.tls12.test,DNS:sasl2tls.test,DNS:conference.sasl2tls.test"
  leaf "$d" ca wrongname.test "DNS:other.test"
  leaf "$d" ca expired.test "DNS:expired.test" 20240101000000Z 20250101000000Z
  leaf "$d" other-ca untrusted.test "DNS:untrusted.test"
  leaf "$d" ca ejabberd.test \
    "DNS:ejabberd.test,DNS:conference.ejabberd.test,DNS:ejabberd-direct.test,DNS:conference.ejabberd-direct.test"
  leaf "$d" ca jabberd2.test "DNS:jabberd2.test,DNS:conference.jabberd2.test"
  serial=$(openssl x509 -in "$d/ca.pem" -noout -serial | cut -d= -f2)
  authority "$d/forged-ca" "Parley Test CA" -set_serial "0x$serial"
  leaf "$d" forged-ca forged.test "DNS:forged.test"
  cat "$d/forged-ca.pem" >> "$d/forged.test.pem"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -keyout "$d/selfsigned.test.key" -out "$d/selfsigned.test.pem" \
    -subj "/O=Parley Tests/CN=selfsigned.test" -addext "subjectAltName=DNS:selfsigned.test" 2>/dev/null
  chmod 644 "$d"/*.key  # the servers run as other users
}

authority() {  # path-without-suffix name [openssl req options...]
  ca_path=$1
  ca_name=$2
  shift 2
  openssl genpkey -algorithm ec -pkeyopt ec_paramgen_curve:P-256 -out "$ca_path.key" 2>/dev/null
  sign_fully "$ca_path.pem" openssl req -x509 -key "$ca_path.key" -days 30 "$@" -out "$ca_path.pem" \
    -subj "/O=Parley Tests/CN=$ca_name" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

# Wine's certificate chain engine rejects an ECDSA signature whose r or s is
# shorter than the curve's 32 bytes (about one signature in 128), so a
# certificate is signed again until both are full length.
sign_fully() {  # cert.pem command...
  cert=$1
  shift
  for _ in 1 2 3 4 5 6 7 8; do
    if ! "$@" 2>/dev/null || [ ! -s "$cert" ]; then
      echo "testcerts: could not make $cert" >&2
      return 1
    fi
    full_signature "$cert" && return 0
  done
  echo "testcerts: no full-length signature for $cert" >&2
  return 1
}

full_signature() {  # cert.pem
  at=$(openssl asn1parse -in "$1" | grep "BIT STRING" | tail -n 1 | cut -d: -f1 | tr -d ' ')
  [ -n "$at" ] || return 1
  openssl asn1parse -in "$1" -strparse "$at" |
    awk -F: '/INTEGER/ { n++; if (length($NF) != 64) bad = 1 } END { exit !(n == 2 && !bad) }'
}

leaf() {  # folder authority name subjectAltName [start end]
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$1/$3.key" -out "$1/$3.csr" -subj "/O=Parley Tests/CN=$3" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "$4" > "$1/$3.ext"
  if [ $# -ge 6 ]; then
    dates="-startdate $5 -enddate $6"
  else
    dates="-days 30"
  fi
  # shellcheck disable=SC2086
  sign_fully "$1/$3.pem" openssl ca -batch -notext -config "$1/ca.cnf" -cert "$1/$2.pem" -keyfile "$1/$2.key" \
    -in "$1/$3.csr" -out "$1/$3.pem" -extfile "$1/$3.ext" $dates
}
