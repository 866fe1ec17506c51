CREATE TABLE IF NOT EXISTS `people` (
  `id` BIGINT NOT NULL,
  `name` TEXT,
  `email` TEXT,
  `score` DOUBLE,
  `active` BOOLEAN,
  `joined` DATE,
  `last_login` DATETIME,
  `account` VARCHAR(36),
  `notes` TEXT,
  PRIMARY KEY (`id`)
);

INSERT INTO `people` (`id`, `name`, `email`, `score`, `active`, `joined`, `last_login`, `account`, `notes`) VALUES (1, 'Ann Smith', 'ann@example.com', 92.5, TRUE, '2023-01-15', '2024-03-01 09:15:00', '123e4567-e89b-12d3-a456-426614174000', 'likes "quotes", commas');
INSERT INTO `people` (`id`, `name`, `email`, `score`, `active`, `joined`, `last_login`, `account`, `notes`) VALUES (2, 'O''Brien', NULL, 78, FALSE, '2022-11-30', '2024-02-28 18:00:00', '223e4567-e89b-12d3-a456-426614174001', NULL);
INSERT INTO `people` (`id`, `name`, `email`, `score`, `active`, `joined`, `last_login`, `account`, `notes`) VALUES (3, 'Zoë Müller', 'zoe@example.de', -1.5e3, TRUE, '2021-06-01', NULL, '323e4567-e89b-12d3-a456-426614174002', 'multi
line');
INSERT INTO `people` (`id`, `name`, `email`, `score`, `active`, `joined`, `last_login`, `account`, `notes`) VALUES (4, 'C:\\data\\', 'back\\slash@example.com', 'NaN', FALSE, '9999-99-99', '2023-12-31 22:00:00', 'not-a-uuid', 007);
