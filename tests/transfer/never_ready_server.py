#!/usr/bin/python3
"""Stands in for the score server as the game starts it, for a start that
never ends: takes the score server's options, never says it is ready, and
runs until it is stopped."""
import time

while True:
    time.sleep(60)
