"""Helpers for building contracts for the _mirvon engine."""
