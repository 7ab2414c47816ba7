// Rays for the oracle tests: coherent camera packets and scattered
// single-lane rays over a scene's bounds.
#ifndef ZRV_TEST_ORACLE_RAYS_H
#define ZRV_TEST_ORACLE_RAYS_H

#include "PacketTestUtil.h"
#include "zrvSceneMesh.h"

#include <vector>

// 2x2 pixel packets of a pinhole camera looking at the scene from outside,
// its image's half width field times its distance to the image plane.
std::vector<RayPacket> camera_packets(const zrv::scenes::Bounds& b, int width, int height,
                                      float azimuth, float field = 0.6f);

// Single-lane rays from random points in and around the scene, half of them
// aimed at a point of a random triangle, a quarter with zero direction
// components; the other lanes hold garbage.
std::vector<RayPacket> random_single_lane_packets(const std::vector<triAccel>& triangles,
                                                  const zrv::scenes::Bounds& b, int count,
                                                  unsigned seed);

// Four unrelated random rays per packet, in and around the scene, with
// active masks cycling through 1 to 15: lanes disagree in direction signs.
std::vector<RayPacket> incoherent_packets(const zrv::scenes::Bounds& b, int count, unsigned seed);

#endif // ZRV_TEST_ORACLE_RAYS_H
