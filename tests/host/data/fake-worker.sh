#!/bin/sh
echo "embedded test worker"
