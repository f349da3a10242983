#!/usr/bin/env bash
# A corpus converted as a Slurm array job on a one-node cluster started here for the test:
# munge, slurmctld and slurmd in the foreground from a configuration in a temporary folder,
# localhost only, on ports of their own. Twenty files go out as four tasks; one task is
# cancelled midway; the same list is submitted again, and then every output must be there, equal
# byte for byte to a local conversion, and the summary must add up. The daemons are stopped and
# checked gone at the end. Exits 77 (skipped) with the reason when the machine cannot run them.
#   test_slurm.sh BIN_DIR CORPUS_DIR      (BIN_DIR holds ondrelix and ondrelix-slurm)
set -u
bin=$1 corpus=$2
skip() { echo "SKIP: $*"; exit 77; }
for tool in munged slurmctld slurmd sbatch scancel squeue sinfo scontrol sox; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ "$(id -u)" -eq 0 ] || skip "slurmd runs jobs as their users, so it needs root"
[ -f "$corpus/spk1_a.wav" ] || skip "the speech corpus is not at $corpus"

work=$(mktemp -d)
pids=()
stop_cluster() {
  [ -n "${SLURM_CONF:-}" ] && scancel --quiet --user root 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
}
trap 'stop_cluster; rm -rf "$work"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/../cli/checks.sh"

# --- the cluster ---------------------------------------------------------------------------
read -r ctld_port slurmd_port < <(/usr/bin/python3 -c '
import socket
ports = []
for _ in range(2):
    s = socket.socket(); s.bind(("127.0.0.1", 0)); ports.append(s); 
print(*[s.getsockname()[1] for s in ports])')
mkdir -p "$work/state" "$work/spool"
head -c 1024 /dev/urandom >"$work/munge.key"
chmod 400 "$work/munge.key"
cat >"$work/slurm.conf" <<CONF
ClusterName=ondrelixtest
SlurmctldHost=localhost
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge.socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
KillWait=5
NodeName=localhost CPUs=2 State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf
munged -F -f --socket="$work/munge.socket" --key-file="$work/munge.key" \
  --pid-file="$work/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munged.seed" \
  >"$work/munged.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$work/munge.socket" ] && break; sleep 0.1; done
slurmctld -D -i -f "$SLURM_CONF" >"$work/slurmctld.log" 2>&1 &
pids+=($!)
slurmd -D -N localhost -f "$SLURM_CONF" >"$work/slurmd.log" 2>&1 &
pids+=($!)
for _ in $(seq 150); do
  [ "$(sinfo -h -o %T 2>/dev/null)" = idle ] && break
  sleep 0.2
done
if [ "$(sinfo -h -o %T 2>/dev/null)" != idle ]; then
  echo "the one-node cluster did not come up; the daemons said:"
  tail -n 5 "$work/munged.out" "$work/slurmctld.log" "$work/slurmd.log"
  skip "this machine cannot run slurmd and slurmctld"
fi

# --- the corpus: twenty files, WAV and FLAC -----------------------------------------------
mkdir "$work/in" "$work/local"
for f in "$corpus"/*.wav; do
  name=$(basename "$f" .wav)
  [ "$(ls "$work/in" | wc -l)" -ge 20 ] && break
  cp "$f" "$work/in/$name.wav"
  sox "$f" "$work/in/${name}_copy.flac"
done
ls "$work"/in/* >"$work/corpus.list"
expect twenty-inputs test "$(wc -l <"$work/corpus.list")" -eq 20
check local-conversion 0 "$bin/ondrelix" convert --list "$work/corpus.list" --out-dir "$work/local" --voice deep --jobs 2

wait_for_job() {  # until the job has left the queue (at most five minutes)
  for _ in $(seq 1500); do
    [ -z "$(squeue -h -j "$1" 2>/dev/null)" ] && return 0
    sleep 0.2
  done
  return 1
}
outputs() { ls "$work/out" 2>/dev/null | grep -cv '^ondrelix-slurm$'; }

# --- the first job, with one task cancelled midway ----------------------------------------
# Task 1 takes lines 2, 6, 10, 14 and 18 of the list. Line 10 is made a pipe that nothing writes
# to, so the task is certainly midway, blocked on its third file, when it is cancelled.
held=$(sed -n 10p "$work/corpus.list")
mv "$held" "$work/held"
mkfifo "$held"
job=$("$bin/ondrelix-slurm" submit "$work/corpus.list" "$work/out" --voice deep --tasks 4 --cores 1)
expect first-job-id test -n "$job"
log=$work/out/ondrelix-slurm/logs/task-${job}_1.jsonl
for _ in $(seq 1200); do [ "$(cat "$log" 2>/dev/null | wc -l)" = 2 ] && break; sleep 0.05; done
sleep 0.2
scancel "${job}_1"
expect first-job-ends wait_for_job "$job"
rm "$held"
mv "$work/held" "$held"
first=$(outputs)
expect cancelled-task-left-three test "$first" -eq 17
check summary-after-cancel 1 "$bin/ondrelix-slurm" summary "$work/out"
expect summary-names-missing test "$(grep -c '^no output: ' "$work/stdout")" -eq $((20 - first))

# --- the same list again: only what is missing -------------------------------------------
job2=$("$bin/ondrelix-slurm" submit "$work/corpus.list" "$work/out" --voice deep --tasks 4 --cores 1)
expect second-job-ends wait_for_job "$job2"
converted_again=$(cat "$work"/out/ondrelix-slurm/logs/task-"${job2}"_*.jsonl | grep -c '"status":"ok"')
expect rerun-converts-only-missing test "$converted_again" -eq $((20 - first))
check summary-after-rerun 0 "$bin/ondrelix-slurm" summary "$work/out"
expect summary-counts test "$(head -n 1 "$work/stdout")" = "converted 20, skipped $first, failed 0"
expect summary-all-outputs grep -q '^20 of 20 inputs have their output$' "$work/stdout"
same_as_local() {
  for f in "$work"/local/*; do cmp -s "$f" "$work/out/$(basename "$f")" || return 1; done
}
expect outputs-equal-local same_as_local

# --- the daemons go ------------------------------------------------------------------------
stop_cluster
gone() { for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && return 1; done; return 0; }
expect daemons-gone gone
pids=()
finish
