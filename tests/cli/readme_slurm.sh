#!/usr/bin/env bash
# Runs the README's Slurm array recipe, its --pending listing and its re-run, exactly as the
# README writes them, on eight short clips of which one is broken, on a one-node cluster of its
# own: munged, slurmctld and slurmd on this machine with their configuration, key, state and logs
# in a temporary folder, stopped at the end. Task 2 of the first array is cancelled before it
# starts (a task that never ran). Too heavy for the suite: run it by hand, as root (the daemons
# need it), with slurm-wlm and munge installed (their services need not run):
#   tests/cli/readme_slurm.sh ZELVORA README.md
set -uo pipefail
zelvora=$1
readme=$2

source "$(dirname "$0")/readme_recipe.sh"
[ "$(id -u)" = 0 ] || { echo "SKIP: the Slurm daemons need root" >&2; exit 77; }
for tool in ffprobe sbatch squeue scancel scontrol sinfo slurmctld slurmd /usr/sbin/munged; do need "$tool"; done
id munge >/dev/null 2>&1 || fail "no munge account (the munge package makes it)"

export_cmd=$(pick 'zelvora settings export job.reg')
run_cmd=$(pick 'sbatch --array=0-3' '!--skip-done')
rerun_cmd=$(pick 'sbatch --array=0-3' '--skip-done')
# The README names the Slurm manifests for --pending in bash brace form beside the command.
pending_cmd=$(pick 'zelvora encode --pending manifest.jsonl')
grep -q -F -- '--pending=manifest-{0..3}.jsonl' "$readme" || fail "the README has no --pending for Slurm"
pending_cmd=${pending_cmd/--pending manifest.jsonl/--pending=manifest-\{0..3\}.jsonl}
need_recipes export_cmd run_cmd pending_cmd rerun_cmd

cluster=$work/cluster
mkdir -p "$cluster/munge" "$cluster/state" "$cluster/spool" "$cluster/log"
# munged runs as its own account and must reach its folder.
chmod 755 "$work"
head -c 1024 /dev/urandom > "$cluster/munge/munge.key"
chown -R munge:munge "$cluster/munge"
chmod 400 "$cluster/munge/munge.key"

recipe_cleanup() {
  if [ -f "$cluster/slurmctld.pid" ]; then
    scontrol shutdown >/dev/null 2>&1
    for pidfile in "$cluster/slurmctld.pid" "$cluster/slurmd.pid"; do
      [ -f "$pidfile" ] && timeout 60 tail --pid="$(cat "$pidfile")" -f /dev/null
    done
  fi
  [ -f "$cluster/munge/munged.pid" ] && kill "$(cat "$cluster/munge/munged.pid")" 2>/dev/null
}

setpriv --reuid=munge --regid=munge --clear-groups /usr/sbin/munged \
  --socket="$cluster/munge/socket" --key-file="$cluster/munge/munge.key" \
  --pid-file="$cluster/munge/munged.pid" --log-file="$cluster/munge/munged.log" \
  --seed-file="$cluster/munge/munged.seed" || fail "munged did not start"

node=$(hostname -s)
ctld_port=$(free_port)
slurmd_port=$(free_port)
export SLURM_CONF=$cluster/slurm.conf
cat > "$SLURM_CONF" <<EOF
ClusterName=zelvora-recipe
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket=$cluster/munge/socket
CredType=cred/munge
StateSaveLocation=$cluster/state
SlurmdSpoolDir=$cluster/spool
SlurmctldPidFile=$cluster/slurmctld.pid
SlurmdPidFile=$cluster/slurmd.pid
SlurmctldLogFile=$cluster/log/slurmctld.log
SlurmdLogFile=$cluster/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
# Two CPUs: one task of -c 2 at a time, so a cancelled task cannot have started.
NodeName=$node NodeAddr=127.0.0.1 CPUs=2 State=UNKNOWN
PartitionName=recipe Nodes=ALL Default=YES MaxTime=INFINITE State=UP
EOF
slurmctld -c || fail "slurmctld did not start"
slurmd || fail "slurmd did not start"
for try in $(seq 120); do
  [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && break
  sleep 0.5
done
[ "$(sinfo -h -o %T)" = idle ] || fail "the node never came up: $(tail -5 "$cluster/log/slurmd.log")"
sinfo --version

# array_done JOB: waits until no task of the array is queued or running.
array_done() {
  local try
  for try in $(seq 600); do
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 1
  done
  fail "array $1 still queued after ten minutes"
}
# task_status JOB TASK: the task's exit status as slurmctld logged it.
task_status() {
  sed -n "s/.*_job_complete: JobId=$1_$2([0-9]*) WEXITSTATUS \([0-9]*\)$/\1/p" "$cluster/log/slurmctld.log" | tail -n 1
}

cd "$work/shared"
bash -c "$export_cmd" || fail "settings export failed"
# Held (SBATCH_HOLD, as a user's environment may have it) so task 2 is cancelled before it starts.
submitted=$(SBATCH_HOLD=1 bash -c "$run_cmd") || fail "sbatch refused the recipe: $submitted"
echo "$submitted"
job=${submitted##* }
scancel "${job}_2" || fail "scancel"
scontrol release "$job" || fail "scontrol release"
array_done "$job"
for task in 0 1 3; do echo "task $task: status $(task_status "$job" "$task")"; done
[ "$(task_status "$job" 0)/$(task_status "$job" 1)/$(task_status "$job" 3)" = 0/0/1 ] \
  || fail "tasks 0, 1 and 3 should end 0, 0 and 1 (3 has the broken file)"
[ -z "$(task_status "$job" 2)" ] && [ ! -e manifest-2.jsonl ] || fail "the cancelled task ran"
grep -q 'moov atom not found' "slurm-${job}_3.out" || fail "task 3's output does not say why c8 failed"
python3 - <<'PY' || fail "first run's manifests"
import json, os
for task in (0, 1, 3):
    for line in open(f'manifest-{task}.jsonl', encoding='utf-8'):
        e = json.loads(line)
        assert f'--shard {task}/4' in e['invocation'], e
        if e['status'] == 'done':
            assert e['output_bytes'] == os.path.getsize(e['output']), e
        else:
            assert e['source'].endswith('/in/c8.mp4'), e
            assert 'Failed encoding media file' in e['message'] and 'moov atom not found' in e['message'], e
PY

# Still to do: the broken file and the cancelled task's share (every 4th file from the 3rd of
# the list sorted by path).
expected=$( (echo in/c8.mp4; python3 -c '
import os
files = sorted(os.path.abspath("in/" + n) for n in os.listdir("in") if not n.endswith(".smi"))
print("\n".join("in/" + os.path.basename(f) for f in files[2::4]))') | sort -u)
got=$(bash -c "$pending_cmd" 2>/dev/null | sort)
[ "$got" = "$expected" ] || fail "pending: got [$got], expected [$expected]"

cp "$work/whole.mp4" in/c8.mp4
submitted=$(bash -c "$rerun_cmd") || fail "sbatch refused the re-run: $submitted"
echo "$submitted"
job=${submitted##* }
array_done "$job"
for task in 0 1 2 3; do
  echo "re-run task $task: status $(task_status "$job" "$task")"
  [ "$(task_status "$job" "$task")" = 0 ] || fail "re-run task $task failed: $(cat "slurm-${job}_$task.out")"
done
each_done_once manifest-{0..3}.jsonl || fail "not every file converted exactly once"
[ "$(ls out | wc -l)" = 8 ] || fail "eight outputs expected: $(ls out)"
for f in out/*; do
  ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$f" | grep -q h264 \
    || fail "$f is no H.264 video"
done
[ -z "$(bash -c "$pending_cmd" 2>/dev/null)" ] || fail "files still pending after the re-run"
echo "PASS"
