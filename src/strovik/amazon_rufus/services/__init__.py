"""Rufus services: the response parser and the native replay module."""
