# jabberd2 inside the namespace: jabberd2.test on 127.0.0.1:5422, STARTTLS
# offered (not required), SASL PLAIN and DIGEST-MD5, in-band registration,
# accounts and session data in SQLite; mu-conference serves
# conference.jabberd2.test as an external component. No SCRAM, no stream
# management. The router listens on 5347 (loopback) for sm, c2s and
# mu-conference. Every file lives in the state folder; /etc/jabberd2 is
# not read. Sourced by scripts/testenv up.
need_packages jabberd2 jabber-muc python3
jdir=$state/jabberd2
mkdir -p "$jdir/muc-spool"
# The storage and authreg modules, wherever this architecture keeps them.
jlib=$(dirname "$(dpkg -L jabberd2 | grep '/storage_sqlite\.so$' | head -n 1)")
# mu-conference gets its handshake wrong when the router's 40-character
# stream id and the secret together pass 55 bytes: a short secret.
jsecret=$(od -An -N6 -tx1 /dev/urandom | tr -dc '0-9a-f')
cat "$state/certs/jabberd2.test.pem" "$state/certs/jabberd2.test.key" > "$jdir/jabberd2.test.pem"

# The accounts (authreg) and the session manager's tables, from the schema
# the package ships.
rm -f "$jdir/jabberd2.db"
zcat /usr/share/doc/jabberd2/db-setup.sqlite.gz |
  /usr/bin/python3 -c 'import sqlite3, sys; sqlite3.connect(sys.argv[1]).executescript(sys.stdin.read())' "$jdir/jabberd2.db" ||
  die "could not create jabberd2's database"

jabberd2_router_link() {  # the <router> element of a component
  printf '<router><ip>127.0.0.1</ip><port>5347</port><user>jabberd</user><pass>%s</pass>' "$jsecret"
  printf '<retry><init>3</init><lost>3</lost><sleep>1</sleep></retry></router>\n'
}
jabberd2_log() {  # name
  printf "<log type='file'><ident>jabberd/%s</ident><file>%s/%s.log</file></log>\n" "$1" "$jdir" "$1"
}
jabberd2_sqlite() {
  printf '<sqlite><dbname>%s/jabberd2.db</dbname><busy-timeout>2000</busy-timeout>' "$jdir"
  printf '<password_type><plaintext/></password_type></sqlite>\n'
}

cat > "$jdir/router-users.xml" <<XML
<users><user><name>jabberd</name><secret>$jsecret</secret></user></users>
XML
cat > "$jdir/router.xml" <<XML
<router>
  <id>router</id>
  <pidfile>$state/jabberd2-router.pid</pidfile>
  $(jabberd2_log router)
  <local>
    <ip>127.0.0.1</ip>
    <port>5347</port>
    <users>$jdir/router-users.xml</users>
    <secret>$jsecret</secret>
  </local>
  <check><interval>0</interval><keepalive>0</keepalive></check>
  <io><max_fds>1024</max_fds><limits><bytes>0</bytes><connects>0</connects></limits>
    <access><order>allow,deny</order></access></io>
  <aci><acl type='all'><user>jabberd</user></acl></aci>
</router>
XML
cat > "$jdir/sm.xml" <<XML
<sm>
  <id>sm</id>
  <pidfile>$state/jabberd2-sm.pid</pidfile>
  $(jabberd2_router_link)
  $(jabberd2_log sm)
  <local><id>jabberd2.test</id></local>
  <storage>
    <path>$jlib</path>
    <driver>sqlite</driver>
    $(jabberd2_sqlite)
  </storage>
  <modules>
    <path>$jlib</path>
    <chain id='sess-start'><module>status</module></chain>
    <chain id='sess-end'><module>status</module><module>iq-last</module></chain>
    <chain id='in-sess'><module>validate</module><module>status</module><module>privacy</module>
      <module>roster</module><module>iq-ping</module><module>iq-private</module><module>disco</module>
      <module>presence</module><module>deliver</module></chain>
    <chain id='out-sess'></chain>
    <chain id='in-router'><module>session</module><module>validate</module><module>presence</module>
      <module>privacy</module></chain>
    <chain id='out-router'><module>privacy</module></chain>
    <chain id='pkt-sm'><module>iq-last</module><module>iq-ping</module><module>iq-time</module>
      <module>iq-version</module><module>disco</module><module>status</module><module>presence</module></chain>
    <chain id='pkt-user'><module>roster</module><module>presence</module><module>disco</module>
      <module>deliver</module><module>iq-last</module></chain>
    <chain id='pkt-router'><module>session</module><module>disco</module></chain>
    <chain id='user-load'><module>active</module><module>roster</module><module>privacy</module></chain>
    <chain id='user-unload'></chain>
    <chain id='user-create'><module>active</module></chain>
    <chain id='user-delete'><module>active</module><module>privacy</module><module>roster</module>
      <module>status</module><module>iq-last</module><module>iq-private</module></chain>
    <chain id='disco-extend'><module>iq-version</module></chain>
  </modules>
  <discovery>
    <identity><category>server</category><type>im</type><name>jabberd2</name></identity>
    <items><item category='conference' type='text' jid='conference.jabberd2.test' name='Rooms'/></items>
  </discovery>
</sm>
XML
cat > "$jdir/c2s.xml" <<XML
<c2s>
  <id>c2s</id>
  <pidfile>$state/jabberd2-c2s.pid</pidfile>
  $(jabberd2_router_link)
  $(jabberd2_log c2s)
  <local>
    <id register-enable='yes' pemfile='$jdir/jabberd2.test.pem'>jabberd2.test</id>
    <ip>127.0.0.1</ip>
    <port>5422</port>
  </local>
  <io>
    <max_fds>1024</max_fds>
    <limits><bytes>0</bytes><stanzas>0</stanzas><connects>0</connects><stanzasize>65535</stanzasize></limits>
    <access><order>allow,deny</order></access>
    <check><interval>0</interval><idle>0</idle><keepalive>0</keepalive></check>
  </io>
  <authreg>
    <path>$jlib</path>
    <module>sqlite</module>
    <mechanisms>
      <traditional><plain/><digest/></traditional>
      <sasl><plain/><digest-md5/></sasl>
    </mechanisms>
    $(jabberd2_sqlite)
  </authreg>
</c2s>
XML
cat > "$jdir/muc.xml" <<XML
<jcr>
  <name>conference.jabberd2.test</name>
  <host>conference.jabberd2.test</host>
  <ip>127.0.0.1</ip>
  <port>5347</port>
  <secret>$jsecret</secret>
  <spool>$jdir/muc-spool</spool>
  <logdir>$jdir</logdir>
  <pidfile>$state/jabberd2-muc.pid</pidfile>
  <loglevel>124</loglevel>
  <conference xmlns="jabber:config:conference">
    <public/>
    <history>20</history>
    <sadmin></sadmin>
  </conference>
</jcr>
XML

# The daemons stay in the foreground: each runs in a background shell whose
# redirections keep the caller's output closed. What "scripts/testenv
# restart jabberd2-NAME" runs again.
jabberd2_daemon() {  # name command...
  jname=$1
  shift
  rm -f "$state/jabberd2-$jname.pid"
  printf '{ in_ns %s; } > "%s/%s.out" 2>&1 < /dev/null &\n' "$*" "$jdir" "$jname" > "$state/jabberd2-$jname.start"
  . "$state/jabberd2-$jname.start"
}
# A component is ready once the router has its route.
jabberd2_routed() {  # domain
  grep -q "\[$1\] online" "$jdir/router.log" 2>/dev/null
}
jabberd2_listening() {  # port
  in_ns ss -ltn | grep -q "127.0.0.1:$1 "
}

: > "$jdir/router.log"  # read below for the components' routes
jabberd2_daemon router /usr/sbin/jabberd2-router -c "$jdir/router.xml"
wait_for 10 jabberd2_listening 5347 || die "jabberd2's router did not start (see $jdir)"
jabberd2_daemon sm /usr/sbin/jabberd2-sm -c "$jdir/sm.xml"
jabberd2_daemon c2s /usr/sbin/jabberd2-c2s -c "$jdir/c2s.xml"
jabberd2_daemon muc /usr/sbin/mu-conference -c "$jdir/muc.xml"
wait_for 10 jabberd2_listening 5422 || die "jabberd2's c2s did not start (see $jdir)"
wait_for 10 jabberd2_routed jabberd2.test || die "jabberd2's sm did not reach the router (see $jdir)"
wait_for 10 jabberd2_routed conference.jabberd2.test || die "mu-conference did not reach the router (see $jdir)"
for jname in router sm c2s muc; do
  alive "$(pid_of "jabberd2-$jname")" || die "jabberd2's $jname is not running (see $jdir)"
done
