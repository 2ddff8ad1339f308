"""The pass/fail count of a test script, closed by the line CTest and CI read."""
import sys


class Report:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAILED:", name, detail)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        sys.exit(1 if self.failed else 0)
