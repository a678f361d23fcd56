"""The 10-second retry after the headset runtime went away, judged from CorvaneVR.log."""

RETRY_SECONDS = 10.0


def check_resumed_after_retry(run, fail, failure, active):
    """VR came back about ten seconds after the log line at index `failure`: the first of the
    `active` lines (indices of the submission line) after it. Runs that end before the retry could
    show fail, as their length is the case's to choose."""
    failed_at, text = run.log[failure]
    if not fail.check(run.ended > failed_at + RETRY_SECONDS + 1.0,
                      f"the game ended {run.ended - failed_at:.1f} s after '{text}', before the 10-second retry "
                      f"could show: make the run longer"):
        return
    resumed = [run.log[i][0] for i in active if i > failure]
    if fail.check(resumed, f"VR did not resume after '{text}'"):
        waited = resumed[0] - failed_at
        fail.check(RETRY_SECONDS - 0.1 <= waited <= RETRY_SECONDS + 1.0,
                   f"VR resumed {waited:.2f} s after '{text}', expected 10 s")
