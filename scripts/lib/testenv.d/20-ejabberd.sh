# ejabberd inside the namespace: ejabberd.test on 127.0.0.1:5322 with a
# plain stream, and on 5323 with STARTTLS offered; passwords stored plain so
# that DIGEST-MD5 and the legacy digest work. Stream management is on;
# ejabberd-sm.test, served beside it, has its SRV record at the port of the
# resumption tests' fault proxy. ejabberd-direct.test is reached by direct
# TLS only (XEP-0368), on 5324.
# It runs as the ejabberd user, so its folders belong to that user;
# ERL_DIST_PORT keeps Erlang from starting an epmd that would outlive it.
# Sourced by scripts/testenv up.
need_packages ejabberd
dir=$state/ejabberd
mkdir -p "$dir/spool" "$dir/logs"
cat "$state/certs/ejabberd.test.pem" "$state/certs/ejabberd.test.key" > "$dir/ejabberd.test.pem"
cat > "$dir/ejabberd.yml" <<YML
hosts:
  - ejabberd.test
  - ejabberd-sm.test
  - ejabberd-direct.test
loglevel: info
log_rotate_count: 0
certfiles:
  - "$dir/ejabberd.test.pem"
listen:
  -
    port: 5322
    ip: "127.0.0.1"
    module: ejabberd_c2s
    starttls: false
  -
    port: 5323
    ip: "127.0.0.1"
    module: ejabberd_c2s
    starttls: true
  -
    port: 5324
    ip: "127.0.0.1"
    module: ejabberd_c2s
    tls: true
auth_method: internal
registration_timeout: infinity
auth_password_format: plain
acl:
  local:
    user_regexp: ""
access_rules:
  register:
    allow: all
  local:
    allow: local
modules:
  mod_disco: {}
  mod_legacy_auth: {}
  mod_ping: {}
  mod_private: {}
  mod_roster: {}
  mod_version: {}
  mod_stream_mgmt:
    resume_timeout: 120
  mod_register:
    access: register
    ip_access: all
  mod_muc:
    host: "conference.@HOST@"
    access_create: all
    default_room_options:
      anonymous: false
YML
cat > "$dir/ejabberdctl.cfg" <<CFG
ERL_DIST_PORT=5399
ERLANG_NODE=ejabberd@localhost
CFG
chown -R ejabberd:ejabberd "$dir"
# The braces put the redirections on the background shell itself, which
# would otherwise keep the caller's output open.
{ EJABBERD_PID_PATH="$dir/ejabberd.pid" in_ns ejabberdctl --config-dir "$dir" --ctl-config "$dir/ejabberdctl.cfg" \
  --config "$dir/ejabberd.yml" --logs "$dir/logs" --spool "$dir/spool" foreground; } \
  > "$dir/logs/console.log" 2>&1 < /dev/null &
wait_for 15 sh -c "ip netns exec '$ns' ss -ltn | grep -q '127.0.0.1:5323 '" || die "ejabberd did not start (see $dir/logs)"
ln -sf "$dir/ejabberd.pid" "$state/ejabberd.pid"
