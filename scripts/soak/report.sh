#!/usr/bin/env bash
# The end-of-run report of scripts/soak.sh, from its timeline EVENTS and the
# totals it exports. Exit status 0 when every check holds, 1 otherwise.
#
# Timeline lines (time in seconds since the soak started):
#   D t backpressure softdrops producer_kills   drop counters, every second
#   C start t n pid file / C end t file status how   a consumer's life
#   P start t n pid / P killed t n              producer instances
#   S t name pid fds rss_kB sysv_attachments    resource sample of a process
#   I t shm_segments semaphore_sets             IPC objects of the namespace
# A consumer's figures are the last statistics line in its output (a consumer
# killed with SIGKILL prints no "total" line; its last per-second line stands).
#
# A consumer sees a gap for every record that did not reach the ring while it
# was attached: dropped by the card's FIFO (back-pressure), dropped by the pool
# (ring full, or no consumer), or taken from the FIFO by a producer killed
# before the record was published (at most one per kill). Its lost sequence
# numbers beyond those drops, counted from just before it started to a while
# after it ended, are gaps nothing accounts for.
set -euo pipefail
EV=$1

awk -v scrapes="${SCRAPES:-}" -v scrapeMax="${SCRAPE_MAX:-?}" -v answered="${ANSWERED:-}" -v samples="${SAMPLES:-}" -v san="${SAN:-0}" \
    -v final="${FINAL:-}" -v bp="${BP:-0}" -v generated="${GENERATED:-0}" -v delivered="${DELIVERED:-0}" \
    -v queued="${QUEUED:-0}" -v killsC="${KILLS_C:-0}" -v killsP="${KILLS_P:-0}" -v resetsOk="${RESETS_OK:-0}" \
    -v resetsFail="${RESETS_FAIL:-0}" -v refused="${REFUSED:-0}" -v expelled="${EXPELLED:-0}" \
    -v prodRc="${PROD_RC:-0}" -v quayRc="${QUAY_RC:-0}" -v vcardRc="${VCARD_RC:-0}" -v t0="${T0:-0}" \
    -v runEnd="${RUN_END:-0}" -v kicks="${KICKS:-0}" -v pauses="${PAUSES:-0}" -v stalls="${STALLS:-0}" -v aborted="${ABORTED:-}" -v startsOld="${STARTS_OLD:-0}" -v startsNew="${STARTS_NEW:-0}" '
function val(line, name,   n, a, i) {
  n = split(line, a, " ")
  for (i = 1; i < n; ++i) if (a[i] == name) return a[i + 1] + 0
  return -1
}
# Drop counters at the last sample before second t (zero before the first):
# a sample of second t itself was taken after a consumer started then, and
# the card counts the records it dropped while nobody polled only when the
# producer polls again, behind the records its FIFO still holds.
function dropsBefore(t,   i, best) {
  best = 0
  for (i = 1; i <= nd; ++i) if (dT[i] < t) best = dSum[i]
  return best
}
# Drop counters at the first sample at or after t (the last one if none).
function dropsAfter(t,   i) {
  for (i = 1; i <= nd; ++i) if (dT[i] >= t) return dSum[i]
  return dSum[nd]
}
function fail(what) { failed = failed "\n  - " what }
BEGIN { warm = (runEnd - t0) / 6; if (warm < 60) warm = 60 }
$1 == "D" { ++nd; dT[nd] = $2; dSum[nd] = $3 + $4 + $5; dBp[nd] = $3; dSoft[nd] = $4 }
$1 == "C" && $2 == "start" { cStart[$6] = $3; order[++nc] = $6 }
$1 == "C" && $2 == "end" { cEnd[$4] = $3; cRc[$4] = $5; cHow[$4] = $6 }
$1 == "P" && $2 == "start" { ++np }
$1 == "S" {
  key = $3
  if (!(key in sFirst)) { sFirst[key] = $0; sNames[++ns] = key }
  # A consumer counts from its first sample after it attached the segment.
  if (key ~ /^consumer/ && !(key in sWarm) && $7 > 0) sWarm[key] = $0
  # The start of a long-lived process is its state after a warm-up of a
  # sixth of the run, at least a minute (the sanitizer holds freed memory
  # back in a quarantine of its own, which fills first).
  if (key !~ /^consumer/ && !(key in sWarm) && $2 >= t0 + warm) sWarm[key] = $0
  sLast[key] = $0
  if ($7 > sMaxShm[key]) sMaxShm[key] = $7
  sCount[key]++
}
$1 == "I" { if (ipcFirst == "") ipcFirst = $3 " " $4; ipcPrev = ipcLast; ipcLast = $3 " " $4 }
END {
  failed = ""
  # ---- consumers
  for (i = 1; i <= nc; ++i) {
    f = order[i]; line = ""
    while ((getline l < f) > 0) if (l ~ / records [0-9]/) line = l
    close(f)
    while ((getline l < f) > 0) if (l ~ /broken record/) { ++broken; fail("broken record in the pool: " f) }
    close(f)
    r = val(line, "records"); g = val(line, "gaps"); lost = val(line, "lost"); b = val(line, "bad")
    if (line == "") { r = 0; g = 0; lost = 0; b = 0 }
    consumed += r; gaps += g; lostAll += lost; bad += b
    if (!(f in cEnd)) cEnd[f] = runEnd
    d = dropsAfter(cEnd[f] + 2) - dropsBefore(cStart[f])
    if (lost > d) { unacc += lost - d; fail(sprintf("%s lost %d records while only %d were dropped", f, lost, d)) }
    if (b > 0) fail(sprintf("%s saw %d bad records", f, b))
    # Stopped at the end, a consumer ends with 0, or with 3 when it had
    # been expelled (a consumer resumed from SIGSTOP at the end).
    if (cHow[f] == "stopped" && cRc[f] != 0 && cRc[f] != 3)
      fail(sprintf("%s ended with status %s when stopped", f, cRc[f]))
  }
  # ---- producer and card
  copied = val(final, "copied"); soft = dSoft[nd]
  produced = generated + bp
  inflight = delivered - copied - soft
  printf "== soak report: %d s of load\n", runEnd - t0
  printf "records produced (feed sequence numbers)  %d\n", produced
  printf "  dropped by the card (FIFO full)         %d\n", bp
  printf "  delivered to producers                  %d (left in FIFO %d)\n", delivered, queued
  printf "  counted copied into the pool            %d\n", copied
  printf "  counted dropped by the pool             %d\n", soft
  printf "  taken by a killed producer, unpublished %d (producer kills %d)\n", inflight, killsP
  printf "records consumed (all consumers)          %d in %d consumer runs\n", consumed, nc
  printf "  gaps seen / sequence numbers lost       %d / %d\n", gaps, lostAll
  printf "  gaps not accounted for by counted drops %d\n", unacc
  printf "  bad records                             %d\n", bad
  printf "consumers killed (SIGKILL) %d, expelled %d, refused (no producer) %d; producers %d, killed %d\n", \
    killsC, expelled, refused, np, killsP
  printf "consumers stopped (SIGSTOP) %d; producer stopped %d; slots expelled by the producer %d\n", pauses, stalls, kicks
  printf "producer starts: %d on the segment its consumers held, %d on a new one\n", startsOld, startsNew
  printf "tool resets: %d done, %d failed\n", resetsOk, resetsFail
  printf "scrapes: %s, answered %s, failed %s (samples scraped %s, slowest %s s)\n", scrapes, answered, \
    (scrapes == "" || answered == "") ? "?" : scrapes - answered, samples, scrapeMax
  printf "sanitizer reports: %d\n", san
  printf "exit status: quay %d, quay-vcard %d, last producer %d\n", quayRc, vcardRc, prodRc
  printf "IPC objects (shm segments, semaphore sets): start %s, end %s, after the stop %s\n", ipcFirst, ipcPrev, ipcLast
  printf "\n%-16s %8s %8s %12s %12s %6s %6s %8s\n", "process", "fds", "fds", "rss_kB", "rss_kB", "sysv", "sysv", "samples"
  printf "%-16s %8s %8s %12s %12s %6s %6s\n", "", "start", "end", "start", "end", "start", "end"
  cons = 0
  for (i = 1; i <= ns; ++i) {
    k = sNames[i]
    a0 = (k in sWarm) && sWarm[k] != sLast[k] ? sWarm[k] : sFirst[k]
    split(a0, s0, " "); split(sLast[k], s1, " ")
    if (k ~ /^consumer/) {
      if (sCount[k] < 2) continue
      ++cons
      if (s1[5] - s0[5] > maxFd) maxFd = s1[5] - s0[5]
      if (s1[6] - s0[6] > maxRss) maxRss = s1[6] - s0[6]
      if (sMaxShm[k] > 1) fail(k " attached the segment " sMaxShm[k] " times")
      continue
    }
    printf "%-16s %8d %8d %12d %12d %6d %6d %8d\n", k, s0[5], s1[5], s0[6], s1[6], s0[7], s1[7], sCount[k]
    if (k != "prometheus" && sCount[k] >= 2 && s1[5] != s0[5]) fail(k " descriptors " s0[5] " -> " s1[5])
    if (sCount[k] >= 2 && s1[7] != s0[7]) fail(k " SysV attachments " s0[7] " -> " s1[7])
    if (k !~ /^prometheus/ && sCount[k] >= 2 && s1[6] > s0[6] * 1.25 + 16384)
      fail(k " resident memory " s0[6] " -> " s1[6] " kB")
  }
  printf "consumer runs with two samples or more: %d; largest growth: %d descriptors, %d kB resident\n", cons, maxFd, maxRss
  if (aborted != "") fail("the run stopped early: " aborted)
  if (unacc > 0) fail("gaps not accounted for by counted drops")
  # A new segment starts its counters at zero: the totals of the pool then cover
  # the last segment only and cannot be held against those of the card.
  if (startsNew <= 1 && (inflight < 0 || inflight > killsP)) fail("pool counters do not match the records delivered")
  if (consumed == 0) fail("no record consumed")
  if (san > 0) fail("sanitizer reports")
  if (answered + 0 == 0) fail("no scrape answered")
  if (resetsFail > 0 || resetsOk == 0) fail("tool resets failed or missing")
  if (quayRc != 0 || vcardRc != 0 || prodRc != 0) fail("a process did not stop cleanly")
  if (ipcLast != "0 0") fail("IPC objects left after the stop: " ipcLast)
  if (failed != "") { printf "\nFAILED:%s\n", failed; exit 1 }
  printf "\nall checks hold\n"
}' "$EV"
