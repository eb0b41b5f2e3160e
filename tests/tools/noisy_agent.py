"""A phyagent for the scripts that watch a mount: two seconds of noisy
polls, then the final state served until the deadline, with its dump."""

import os
import subprocess
import time


def start_noisy_agent(agent_program, scratch, seed, serve_seconds, deadline):
    """Starts the agent in `scratch` and waits for its socket (until the
    monotonic `deadline`). Returns the process, the socket and the dump path."""
    sock, dump = os.path.join(scratch, "agent.sock"), os.path.join(scratch, "dump.txt")
    agent = subprocess.Popen([agent_program, "--socket", sock, "--scenario", "noisy", "--seed", str(seed),
                              "--poll-hz", "20", "--duration", "2", "--linger", str(serve_seconds),
                              "--dump", dump], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not os.path.exists(sock) and time.monotonic() < deadline:
        time.sleep(0.05)
    return agent, sock, dump
