#!/usr/bin/env bash
# Runs the README's GNU parallel recipe over ssh, its --pending listing and its re-run, exactly as
# the README writes them, on eight short clips of which one is broken. The "machines" are logins
# to one sshd of this test's own on a free loopback port, with its own host key and authorized
# key in a temporary folder:
#   m1, m2  ready;
#   m3      reached, but zelvora is not on its PATH until the test "installs" it before the re-run;
#   down    a port where nothing listens.
# Usage: readme_ssh.sh ZELVORA README.md
set -uo pipefail
zelvora=$1
readme=$2

source "$(dirname "$0")/readme_recipe.sh"
sshd=$(command -v sshd || echo /usr/sbin/sshd)
need "$sshd"
need ssh
need ssh-keygen

export_cmd=$(pick 'zelvora settings export job.reg')
run_cmd=$(pick '--sshloginfile machines' '!--skip-done')
pending_cmd=$(pick 'zelvora encode --pending manifest.jsonl')
rerun_cmd=$(pick '--sshloginfile machines' '--skip-done manifest.jsonl')
need_recipes export_cmd run_cmd pending_cmd rerun_cmd

keys=$work/ssh
mkdir -p "$keys" "$work/remote-home" "$work/m3bin"
ssh-keygen -q -t ed25519 -N '' -C zelvora-test-host -f "$keys/host_key" || fail "ssh-keygen"
ssh-keygen -q -t ed25519 -N '' -C zelvora-test-user -f "$keys/user_key" || fail "ssh-keygen"
cp "$keys/user_key.pub" "$keys/authorized_keys"

# Run by root, sshd wants its privilege separation folder (made by the service, which never ran
# here); it stays empty.
[ "$(id -u)" = 0 ] && { mkdir -p /run/sshd || fail "cannot make /run/sshd"; }

# The session environment of every login: a home of the machines' own (their error log and
# settings store go there, never to the real home), and zelvora on the PATH of a non-interactive
# shell, except on m3 (which logs in from 127.0.0.2) before it is installed there.
remote_env() {
  printf ' "%s"' "HOME=$work/remote-home" "XDG_CONFIG_HOME=$work/remote-home/.config" \
    "XDG_STATE_HOME=$work/remote-home/.local/state" "XDG_CACHE_HOME=$work/remote-home/.cache" \
    "XDG_DATA_HOME=$work/remote-home/.local/share" "PATH=$1:/usr/bin:/bin"
  local name
  for name in ASAN_OPTIONS UBSAN_OPTIONS; do
    [ -n "${!name:-}" ] && printf ' "%s=%s"' "$name" "${!name}"
  done
}

sshd_pid=
recipe_cleanup() {
  [ -n "$sshd_pid" ] && { kill "$sshd_pid" 2>/dev/null; wait "$sshd_pid" 2>/dev/null; }
}

# A free port can be taken by someone else before sshd binds it: then sshd ends at once and
# another port is tried.
for attempt in 1 2 3 4 5; do
  port=$(free_port)
  cat > "$keys/sshd_config" <<EOF
ListenAddress 127.0.0.1:$port
HostKey $keys/host_key
PidFile none
AuthorizedKeysFile $keys/authorized_keys
# The keys are in a temporary folder, not under the login's home.
StrictModes no
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PrintMotd no
PrintLastLog no
LogLevel INFO
Match Address 127.0.0.2
  SetEnv$(remote_env "$work/m3bin")
Match all
  SetEnv$(remote_env "$work/bin")
EOF
  "$sshd" -t -f "$keys/sshd_config" || fail "sshd refuses the test's configuration"
  "$sshd" -D -e -f "$keys/sshd_config" 2> "$keys/sshd.log" &
  sshd_pid=$!
  # sshd says it listens, or ends; tail ends with it.
  exec {log}< <(exec timeout 60 tail -n +1 --pid="$sshd_pid" -f "$keys/sshd.log")
  tail_pid=$!
  grep -q -m 1 'Server listening' <&"$log"
  exec {log}<&-
  kill "$tail_pid" 2>/dev/null
  kill -0 "$sshd_pid" 2>/dev/null && grep -q 'Server listening' "$keys/sshd.log" && break
  wait "$sshd_pid" 2>/dev/null
  sshd_pid=
  cat "$keys/sshd.log" >&2
done
[ -n "$sshd_pid" ] || fail "sshd did not start"

# What a user's ~/.ssh/config and ~/.ssh/known_hosts hold. ssh reads those from the account's
# home in the password database, not from $HOME, so the test hands its own file to every ssh
# that parallel starts through PARALLEL_SSH, and the recipe stays as written.
down_port=$(free_port)
cat > "$keys/ssh_config" <<EOF
Host m3
  BindAddress 127.0.0.2
Host down
  Port $down_port
Host *
  HostName 127.0.0.1
  Port $port
  User $(id -un)
  IdentityFile $keys/user_key
  IdentitiesOnly yes
  BatchMode yes
  UserKnownHostsFile $keys/known_hosts
  GlobalKnownHostsFile /dev/null
  StrictHostKeyChecking yes
  ConnectTimeout 30
  LogLevel ERROR
EOF
echo "[127.0.0.1]:$port $(cut -d' ' -f1-2 "$keys/host_key.pub")" > "$keys/known_hosts"
export PARALLEL_SSH="ssh -F $keys/ssh_config"

# The prerequisites the README names: a login without a prompt, and zelvora on the PATH.
$PARALLEL_SSH m1 zelvora --version < /dev/null || fail "ssh m1 zelvora --version"
$PARALLEL_SSH m3 true < /dev/null || fail "ssh m3 does not log in"

cd "$work/shared"
printf 'm1\nm2\nm3\ndown\n' > machines
bash -c "$export_cmd" || fail "settings export failed"
[ -f job.reg ] || fail "no job.reg"
bash -c "$run_cmd"
status=$?
# The broken file's shard and m3's shard(s) fail; parallel's status counts the failed jobs.
[ "$status" -ge 1 ] && [ "$status" -le 3 ] || fail "parallel should report failed shards, not status $status"
[ -e out ] || fail "no outputs at all"
[ ! -e "$work/remote-home/Desktop" ] || fail "--output-dir made ~/Desktop on a machine"
[ "$(grep -c 'Accepted publickey' "$keys/sshd.log")" -ge 3 ] || fail "the shards did not run over ssh"
grep -q 'Accepted publickey.* from 127\.0\.0\.2 ' "$keys/sshd.log" || fail "m3 was never used"

# Still to do: every file whose output is not there (the outputs are named by the rule
# _ZLVR_<name>.mp4), which takes in the broken one and those of m3's shards.
expected=$(for f in in/*; do
  case $f in *.smi) continue ;; esac
  stem=${f#in/}; stem=${stem%.*}
  [ -e "out/_ZLVR_$stem.mp4" ] || echo "$f"
done | sort)
grep -q -x in/c8.mp4 <<<"$expected" || fail "the broken file has an output"
[ -n "$(grep -v -x in/c8.mp4 <<<"$expected")" ] || fail "no shard failed on m3"
# The lines the machines wrote: one done line per output, and the broken file, when a working
# machine got its shard, failed saying why, in the manifest and in that machine's error log.
read -r done_lines broken_ran < <(python3 -c '
import json
lines = [json.loads(l) for l in open("manifest.jsonl", encoding="utf-8")]
broken = sum(e["source"].endswith("/in/c8.mp4") for e in lines)
print(len(lines) - broken, broken)')
manifest_check "$done_lines" "$broken_ran" || fail "first run's manifest"
[ "$done_lines" = "$(ls out | wc -l)" ] || fail "$done_lines done lines for $(ls out | wc -l) outputs"
if [ "$broken_ran" = 1 ]; then
  grep -q -r 'moov atom not found' "$work/remote-home/.local/state" || fail "the error log does not say why"
fi
got=$(bash -c "$pending_cmd" 2>/dev/null | sort)
[ "$got" = "$expected" ] || fail "pending: got [$got], expected [$expected]"

# The user mends the broken file and installs the package on m3; down stays down.
cp "$work/whole.mp4" in/c8.mp4
ln -s "$zelvora" "$work/m3bin/zelvora"
before=$(wc -l < manifest.jsonl)
bash -c "$rerun_cmd" || fail "the re-run failed"
added=$(( $(wc -l < manifest.jsonl) - before ))
[ "$added" = "$(wc -l <<<"$expected")" ] || fail "the re-run converted $added files, not exactly the pending ones"
[ "$(ls out | wc -l)" = 8 ] || fail "eight outputs expected: $(ls out)"
each_done_once || fail "not every file converted exactly once"
[ -z "$(bash -c "$pending_cmd" 2>/dev/null)" ] || fail "files still pending after the re-run"
echo "PASS"
