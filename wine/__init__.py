"""gyrsetup.exe under Wine: the prefixes, the sessions, the recipe of scripts/wine-install and
the demo. Run as python3 -m wine.install and python3 -m wine.demo with the repository root
on PYTHONPATH."""
