"""Shared fixtures of the test suite."""
