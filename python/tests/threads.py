"""Running a call on another thread, for the thread-affinity tests."""
import gc
import threading


def in_thread(fn):
    """{"value": fn()} or {"error": exception}, with fn run on a new thread.

    Thread-bound samplers that earlier tests left in garbage cycles are
    collected first, here, so that no collection happens on the other thread.
    """
    gc.collect()
    result = {}

    def run():
        try:
            result["value"] = fn()
        except BaseException as error:  # noqa: BLE001 - handed back to the test
            result["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return result
