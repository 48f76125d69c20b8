"""Fuzz suites, run in a child process by tests/test_fuzz.py (python -m fuzzing.child SUITE REPORT)."""
