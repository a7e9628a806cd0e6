"""gyrsetup.exe under Wine: the recipe of scripts/wine-install, the demo, and the machine and
run they share, one job per module. Run as python3 -m wine.install and python3 -m wine.demo
with the repository root on PYTHONPATH."""
