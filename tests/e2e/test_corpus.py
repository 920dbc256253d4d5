"""The launcher campaign's corpus replayed: one small container of each
outcome the campaign met, each judged as the campaign judges it (time
limit, exit status, the launcher's own boxes, the expected outcome,
canaries beside the container untouched, nothing left in TEMP)."""
import os
import sys

from harness import LAUNCHER, LauncherCase, run_batch, main

CAMPAIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "campaign")
sys.path.insert(0, CAMPAIGN)
import judge  # noqa: E402

LOCALES = {"1252": "en_US.UTF-8", "932": "ja_JP.UTF-8"}


class Corpus(LauncherCase):
    def test_every_case_reaches_its_outcome(self):
        probe = self.program("probe.exe")
        with open(LAUNCHER, "rb") as f:
            image = f.read()
        cases = judge.load_corpus(os.path.join(CAMPAIGN, "corpus"), probe)
        self.assertTrue(cases, "the corpus is empty")
        for acp, locale in LOCALES.items():
            group = [(n, c, o) for n, (c, o) in enumerate(cases) if c.acp == acp]
            runs = []
            for n, case, _ in group:
                runs.append(judge.driver_run(self.path("%02d" % n), 60000))
                judge.prepare(case, self.path("%02d" % n), image)
            run_batch(self.bed, runs, self.path("batch-%s.txt" % acp),
                      wine_env={"LC_ALL": locale, "LANG": locale})
            for n, case, outcome in group:
                with self.subTest(case=n, kind=case.kind, seed=case.seed):
                    got, failures = judge.judge(case, self.path("%02d" % n), probe)
                    self.assertEqual(failures, [])
                    self.assertEqual(got, outcome)


if __name__ == "__main__":
    main()
